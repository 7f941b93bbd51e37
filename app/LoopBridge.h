// Runs the program's own event loop (platform/EventLoop.h) inside Qt's.
//
// A QSocketNotifier watches the loop's descriptor and processes the loop's pending work whenever it
// becomes readable, so socket events, posted messages and timers of the network layer are handled on
// the user-interface thread between Qt's own events. The bridge also installs Qt as the loop's
// toolkit pump, so a blocking request that waits for its answer sleeps in Qt's processEvents: the
// window keeps painting and its handlers keep running while the request waits, and no CPU is spent.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace quenlo::app {

class LoopBridge : public QObject {
public:
    // Installs the notifier and the pump for the calling (user-interface) thread. One bridge at a
    // time; it must outlive every request made through the loop.
    explicit LoopBridge(QObject* parent = nullptr);
    // Removes the pump and the notifier.
    ~LoopBridge() override;
    LoopBridge(const LoopBridge&) = delete;
    LoopBridge& operator=(const LoopBridge&) = delete;

private:
    void WaitForMore(int timeoutMs);

    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quenlo::app
