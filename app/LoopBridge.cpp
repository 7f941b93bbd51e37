#include "app/LoopBridge.h"

#include "platform/EventLoop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace quenlo::app {

namespace {
constexpr std::chrono::milliseconds kPassBudget{10};
}  // namespace

LoopBridge::LoopBridge(QObject* parent) : QObject(parent) {
    notifier_ = new QSocketNotifier(platform::LoopDescriptor(), QSocketNotifier::Read, this);
    // A pass of the network's messages is kept short: while answers keep coming, the window paints
    // and takes clicks between passes; what is left keeps the descriptor readable for the next.
    connect(notifier_, &QSocketNotifier::activated, this, [] { platform::ProcessLoopMessages(kPassBudget); });

    platform::ToolkitPump pump;
    pump.processPending = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
    pump.waitForMore = [this](std::chrono::milliseconds timeout) {
        WaitForMore(static_cast<int>(timeout.count()));
    };
    platform::SetToolkitPump(std::move(pump));
}

LoopBridge::~LoopBridge() {
    platform::SetToolkitPump({});
    notifier_->setEnabled(false);
}

void LoopBridge::WaitForMore(int timeoutMs) {
    // A bounded wait needs something that wakes Qt when the time is up: the expiry of an empty
    // timer is an event. Each wait has its own timer, so nested waits (a handler that starts a
    // request while another one waits) keep their own limits.
    QTimer wakeUp;
    if (timeoutMs >= 0) {
        wakeUp.setSingleShot(true);
        wakeUp.start(timeoutMs);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace quenlo::app
