// quenlo: the desktop monitor. No command-line options; the exit code is always 0.
#include "app/Form1.h"
#include "app/LoopBridge.h"
#include "app/QuitOnSignal.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <csignal>
#include <cstdlib>
#include <utility>

namespace {

// The window while its event loop runs.
quenlo::app::TForm1* runningForm = nullptr;

// The toolkit ends the process with exit() when its display goes away (the session ended under
// us), skipping the way out through FormDestroy: the gateways are ended here then, and the exit
// code stays 0.
void EndWithTheDisplay() {
    if (quenlo::app::TForm1* form = std::exchange(runningForm, nullptr)) {
        form->EndGateways();
        std::_Exit(0);
    }
}

}  // namespace

int main(int /*argc*/, char** argv) {
    using quenlo::platform::SingleInstance;

    // One instance per user session: wait up to 10 s for a running one to end, else leave silently.
    SingleInstance instance;
    if (instance.Acquire() == SingleInstance::Outcome::TimedOut)
        return 0;

    // A closed connection is reported by the socket layer, not by a signal.
    std::signal(SIGPIPE, SIG_IGN);

    // The program has no command-line options, so none may reach the toolkit either (it would
    // otherwise take -platform, -style, -reverse and the like from them). It keeps only the
    // program's name.
    // An empty argument vector (possible with execve) still gives the toolkit a name.
    static char programName[] = "quenlo";
    int toolkitArgc = 1;
    char* toolkitArgv[] = {argv[0] ? argv[0] : programName, nullptr};
    QApplication app(toolkitArgc, toolkitArgv);
    QApplication::setApplicationName(QStringLiteral("Quenlo"));
    QApplication::setOrganizationName(QStringLiteral("Dorvane"));
    // The window's close button ends the program, not the last message box closed while the
    // window sits in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    {
        quenlo::app::LoopBridge bridge;
        quenlo::app::QuitOnSignal quitOnSignal;
        {
            quenlo::app::TForm1 form;
            form.FormCreate();
            if (!form.TerminationRequested() && !quitOnSignal.Received()) {
                runningForm = &form;
                std::atexit(EndWithTheDisplay);
                form.show();
                QApplication::exec();
                runningForm = nullptr;
            }
            // The next instance may start while this one still stops its gateways.
            instance.Release();
        }  // FormDestroy: gateways terminated, tray icon removed
    }
    return 0;
}
