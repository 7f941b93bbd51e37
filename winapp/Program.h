// The start-up and shutdown of the Windows window program, and the monitor logic behind its
// handlers. This side holds the core (printers file, gateways, HTTP client, monitor) and includes
// no Windows header, so the core's names never meet the Windows macros; the window (winapp/Form1.h)
// is only seen as the MonitorView it implements.
//
//   Program program(form);          // form: the window, created but hidden
//   if (program.FormCreate()) { form.Show(); ...message loop... }
//   ...single-instance lock released...
//   program.FormDestroy();          // gateways terminated in list order
//   form.FormDestroy();             // tray icon removed, window destroyed
#pragma once

#include "monitor/MonitorView.h"

#include <memory>
#include <string>

namespace quenlo::winapp {

class Program {
public:
    // `view` must outlive the program. `exeDir` is the gateway program's directory with its
    // trailing backslash; empty: the executable's directory.
    explicit Program(MonitorView& view, std::string exeDir = {});
    // Runs FormDestroy.
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Locates and reads the printers file (starting each printer's gateway at its "<endprinter>"
    // line), adds the job list columns, fills the selector, selects the first printer and refreshes
    // it once. False when the program is to end silently: no printers file, or none of its printers.
    // Runs once; a second call returns what the first did.
    bool FormCreate();
    // After a FormCreate that returned false: the Hungarian text that says why there is nothing to
    // watch and how to add printers (config/SetupHint.h), UTF-8 with CR line breaks.
    const std::string& SetupHint() const;
    // Terminates the started gateways in list order. Runs once; later calls do nothing.
    void FormDestroy();

    // The window's handlers.
    void ComboBoxPrinterlistChange();
    void MegszakitClick();
    void SzunetClick();
    void FolytatClick();
    void NyomtatofelfuggeszteseClick();
    void NyomtatofolytatasaClick();
    void OsszesfeladattorleseClick();

private:
    struct Core;
    std::unique_ptr<Core> core_;
};

}  // namespace quenlo::winapp
