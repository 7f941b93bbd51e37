// quenlo.exe: the desktop monitor as a native Windows program. The exit code is always 0.
//
// One option: --from-menu (for a Start menu shortcut) makes a start without printers explain itself
// in a message box, instead of ending silently as an autostart must.
#include "platform/SingleInstance.h"
#include "winapp/Form1.h"
#include "winapp/Program.h"
#include "winapp/WideText.h"

#include <memory>
#include <string_view>

namespace {

// The message loop, until the window is closed. Tab moves between the selector and the job list.
void RunMessageLoop(HWND form) {
    ::MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(form, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    using quenlo::platform::SingleInstance;
    using quenlo::winapp::FormHandlers;
    using quenlo::winapp::Program;
    using quenlo::winapp::TForm1;

    // One instance per user session: wait up to 10 s for a running one to end, else leave silently.
    SingleInstance instance;
    if (instance.Acquire() == SingleInstance::Outcome::TimedOut)
        return 0;

    // The handlers reach the logic, which is made right after the window it shows itself in.
    std::unique_ptr<Program> program;
    auto run = [&program](void (Program::*handler)()) {
        return [&program, handler] {
            if (program)
                ((*program).*handler)();
        };
    };
    FormHandlers handlers;
    handlers.ComboBoxPrinterlistChange = run(&Program::ComboBoxPrinterlistChange);
    handlers.RefreshButtonClick = run(&Program::ComboBoxPrinterlistChange);
    handlers.MegszakitClick = run(&Program::MegszakitClick);
    handlers.SzunetClick = run(&Program::SzunetClick);
    handlers.FolytatClick = run(&Program::FolytatClick);
    handlers.NyomtatofelfuggeszteseClick = run(&Program::NyomtatofelfuggeszteseClick);
    handlers.NyomtatofolytatasaClick = run(&Program::NyomtatofolytatasaClick);
    handlers.OsszesfeladattorleseClick = run(&Program::OsszesfeladattorleseClick);

    TForm1 form(std::move(handlers));
    if (!form.Handle())
        return 0;
    program = std::make_unique<Program>(form);
    if (program->FormCreate()) {
        form.Show();
        RunMessageLoop(form.Handle());
    } else if (std::string_view(commandLine ? commandLine : "").find("--from-menu") != std::string_view::npos) {
        MessageBoxW(nullptr, quenlo::winapp::WideMessageText(program->SetupHint()).c_str(), L"Quenlo",
                    MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
    }
    // The next instance may start while this one still stops its gateways.
    instance.Release();
    program->FormDestroy();  // gateways terminated in list order
    form.FormDestroy();      // tray icon removed
    return 0;
}
