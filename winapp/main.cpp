// quenlo.exe: the desktop monitor as a native Windows program. The exit code is always 0.
//
// One option: --from-menu (for a Start menu shortcut) makes a start without printers explain itself
// in a message box, instead of ending silently as an autostart must.
#include "monitor/Program.h"
#include "platform/SingleInstance.h"
#include "winapp/Form1.h"
#include "winapp/WideText.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
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
    using quenlo::TProgram;
    using quenlo::platform::SingleInstance;
    using quenlo::winapp::TForm1;

    // One instance per user session: the running one is asked to show its window, and this start
    // ends when it did; otherwise wait up to 10 s for it to end, and leave silently if it does not.
    SingleInstance instance;
    const auto showRunning = [](std::chrono::milliseconds left) {
        return TForm1::ShowRunning(static_cast<unsigned>(std::min<std::chrono::milliseconds>(left, std::chrono::seconds(2)).count()));
    };
    switch (instance.Acquire(std::chrono::seconds(10), std::chrono::milliseconds(50), showRunning)) {
    case SingleInstance::Outcome::TimedOut:
    case SingleInstance::Outcome::Shown:
        return 0;
    case SingleInstance::Outcome::Acquired:
    case SingleInstance::Outcome::Unprotected:
        break;
    }

    // The window's input reaches the program, which is made right after the window it shows itself in.
    std::unique_ptr<TProgram> program;
    TForm1 form([&program](quenlo::form::Command command) {
        if (program)
            program->Run(command);
    },
                {[&program](std::size_t row) {
                     if (program)
                         program->OpenRow(row);
                 },
                 [&program](quenlo::form::Command command, std::size_t row) {
                     if (program)
                         program->RunOnRow(command, row);
                 }});
    if (!form.Handle())
        return 0;
    program = std::make_unique<TProgram>(form);
    program->OnTrayChanged = [&form](TProgram& sender) { form.ShowTrayState(sender.Tray()); };
    program->OnNotice = [&form](TProgram&, const quenlo::TrayNotice& notice) { form.ShowNotice(notice); };
    program->OnLampHintChanged = [&form](TProgram& sender) { form.SetLampHint(sender.LampHint()); };
    program->ViewShown = [&form] { return form.OnScreen(); };
    if (program->Start()) {
        if (program->Administers())
            form.UseAdminMenus({[&program] { return program->MoveTargets(); },
                                [&program](const std::string& destination, bool allJobs) {
                                    program->RunMove(destination, allJobs);
                                }});
        form.Show();
        RunMessageLoop(form.Handle());
    } else if (std::string_view(commandLine ? commandLine : "").find("--from-menu") != std::string_view::npos) {
        MessageBoxW(nullptr, quenlo::winapp::WideMessageText(program->SetupHint()).c_str(), L"Quenlo",
                    MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
    }
    // The next instance may start while this one still stops its gateways.
    instance.Release();
    program->EndGateways();  // gateways terminated in list order
    form.FormDestroy();      // tray icon removed, window gone
    program->EndWatch();     // the watch's subscriptions cancelled, waiting at most 1 s
    return 0;
}
