// quenlo: the desktop monitor. The exit code is 0, whatever happens once it runs.
//
// Options (any other argument is ignored, and none reaches the toolkit):
//   --from-menu    what the menu entry passes: a start without printers explains itself in a
//                  message box instead of ending silently
//   --help, -h     the help text on standard output
//   --version      "quenlo VERSION"
//   --man          the manual page quenlo(1) in roff, made of the same text as --help
#include "app/DesktopPlatform.h"
#include "app/Form1.h"
#include "app/LoopBridge.h"
#include "app/QuitOnSignal.h"
#include "app/ShowRequests.h"
#include "platform/Manual.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string_view>
#include <utility>
#include <vector>

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

quenlo::platform::ManualPage QuenloManual() {
    quenlo::platform::ManualPage page;
    page.program = "quenlo";
    page.summary = "monitor and remote control for IPP printers";
    page.synopsis = {"[--from-menu]", "--help", "--version"};
    page.description =
        "quenlo watches the printers listed in its printers file from a small always-on-top window "
        "that goes to the notification area one second after it starts: whether each printer's address "
        "answers, the printer's state with traffic-light lamps, and its queue of jobs. From two popup "
        "menus it cancels, holds or releases a job and pauses, resumes or purges the printer. The "
        "window's texts are Hungarian. One instance runs per user session: starting quenlo again shows "
        "the running window. Without a notification area the window waits minimised on the task bar, and "
        "moves to one that appears later.\n\n"
        "quenlo-cli add SERVER adds a CUPS server's printers to the printers file, creating it in the "
        "per-user folder when there is none.";
    page.sections.push_back(
        {"OPTIONS", "",
         {{"--from-menu",
           "Passed by the menu entry. Without a printers file, or with one that lists no printer, a message "
           "box says where the file was looked for and how to add printers. Without it (the autostart "
           "entry) such a start ends silently."},
          {"--help, -h", "Prints this help."},
          {"--version", "Prints the version."}}});
    page.sections.push_back(
        {"FILES",
         "printers.qdl, looked for in this order: the folder the ConfDir setting names, "
         "$XDG_CONFIG_HOME/Dorvane/Quenlo/ (else ~/.config/Dorvane/Quenlo/), the home folder, and the "
         "current folder. quenlo-cli config shows what is read from it.\n\n"
         "It holds one line key=value each (keys in any case, nothing trimmed), in UTF-8, code page 1250 "
         "or UTF-16 with its byte order mark. A printer is a block from <printer> to <endprinter>; "
         "proxy settings and the background watch may stand anywhere, by custom in a block from "
         "<global> to <endglobal>. Other lines are ignored.",
         {{"name=NAME", "The name in the printer selector."},
          {"remotehost=HOST:PORT", "The server; without a port, port 80 is asked."},
          {"url=/printers/QUEUE", "The queue's path on the server (/classes/CLASS for a class)."},
          {"localport=-1", "No gateway program for this printer (0 or more starts one)."},
          {"comment=TEXT", "Shown under the selector."},
          {"user=USER, pass=PASSWORD", "Credentials for the server, and the user named in requests."},
          {"proxy=HOST, proxyport=PORT, proxyuser=USER, proxypass=PASSWORD", "An HTTP proxy for every request."},
          {"watch=SECONDS", "Look at every printer in the background every SECONDS seconds."}}});
    page.sections.push_back({"EXIT STATUS", "0, also when there is nothing to watch.", {}});
    page.sections.push_back({"SEE ALSO", "quenlo-cli(1), printers.qdl(5)", {}});
    return page;
}

// --help, --version and --man: the text, and true. False for any other start.
bool PrintedInformation(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        std::string text;
        if (a == "--help" || a == "-h")
            text = quenlo::platform::HelpText(QuenloManual());
        else if (a == "--version")
            text = quenlo::platform::VersionLine("quenlo");
        else if (a == "--man")
            text = quenlo::platform::RoffPage(QuenloManual());
        else
            continue;
        std::cout << text << std::flush;
        return true;
    }
    return false;
}

// A start that can show a window may ask the running instance to show its own; without a display
// (a shell without one) it waits silently as it always has.
bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

// What the launcher handed this start so that the window it shows may take the focus: the
// activation token on Wayland, the startup id on X11.
std::string ActivationToken() {
    for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"})
        if (const char* value = std::getenv(name); value && *value)
            return value;
    return {};
}

// The window brought back for a later start, as a click on the tray icon brings it back, and kept
// in view: the minimise timer may not have fired yet.
void ShowForLaterStart(quenlo::app::TForm1& form, const QString& token) {
    form.TimerMinimize()->stop();
    // The toolkit's Wayland side activates with this token once, and forgets it.
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
    form.TrayIconMessage(QSystemTrayIcon::Trigger);
}

bool HasArgument(int argc, char** argv, std::string_view wanted) {
    for (int i = 1; i < argc; ++i)
        if (argv[i] == wanted)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (PrintedInformation(argc, argv))
        return 0;
    quenlo::app::TForm1::Options options;
    options.explainSetup = HasArgument(argc, argv, "--from-menu");

    using quenlo::platform::SingleInstance;
    using namespace std::chrono_literals;

    // One instance per user session: the running one is asked to show its window, and this start
    // ends when it did; otherwise wait up to 10 s for it to end, and leave silently if it does not.
    SingleInstance instance;
    std::function<bool(std::chrono::milliseconds)> showRunning;
    if (HasDisplay())
        showRunning = [&instance, token = ActivationToken()](std::chrono::milliseconds left) {
            return instance.AskRunningToShow(token, std::min<std::chrono::milliseconds>(left, 2s));
        };
    switch (instance.Acquire(10s, 50ms, showRunning)) {
    case SingleInstance::Outcome::TimedOut:
    case SingleInstance::Outcome::Shown:
        return 0;
    case SingleInstance::Outcome::Acquired:
    case SingleInstance::Outcome::Unprotected:
        break;
    }

    // A closed connection is reported by the socket layer, not by a signal.
    std::signal(SIGPIPE, SIG_IGN);

    // The program's own options are read above; none may reach the toolkit (it would otherwise
    // take -platform, -style, -reverse and the like from them). It keeps only the program's name.
    // An empty argument vector (possible with execve) still gives the toolkit a name.
    // The one exception is the platform the program picks itself (app/DesktopPlatform.h).
    static char programName[] = "quenlo";
    std::vector<char*> toolkitArgv{argv[0] ? argv[0] : programName};
    for (const char* a : quenlo::app::PlatformArguments())
        toolkitArgv.push_back(const_cast<char*>(a));
    int toolkitArgc = static_cast<int>(toolkitArgv.size());
    toolkitArgv.push_back(nullptr);
    QApplication app(toolkitArgc, toolkitArgv.data());
    QApplication::setApplicationName(QStringLiteral("Quenlo"));
    QApplication::setOrganizationName(QStringLiteral("Dorvane"));
    // The Wayland app id: the compositor's window rules and the launcher's icon find the window by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("quenlo"));
    // The window's close button ends the program, not the last message box closed while the
    // window sits in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    {
        quenlo::app::LoopBridge bridge;
        quenlo::app::QuitOnSignal quitOnSignal;
        quenlo::app::ShowRequests showRequests;
        {
            quenlo::app::TForm1 form(options);
            form.FormCreate();
            if (!form.SetupHint().empty() && !quitOnSignal.Received()) {
                QApplication::exec();  // until the user has read why there is nothing to watch
            } else if (!form.TerminationRequested() && !quitOnSignal.Received()) {
                runningForm = &form;
                std::atexit(EndWithTheDisplay);
                form.show();
                showRequests.OnShow = [&form](const QString& token) { ShowForLaterStart(form, token); };
                if (instance.Held())
                    showRequests.Listen(instance.ShowSocketPath());
                QApplication::exec();
                runningForm = nullptr;
            }
            // Nobody is asked to show a window that is going, and the next instance may start
            // while this one still stops its gateways.
            showRequests.Stop();
            instance.Release();
        }  // FormDestroy: gateways terminated, tray icon removed
    }
    return 0;
}
