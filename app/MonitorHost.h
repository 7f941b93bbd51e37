// The one place where the window meets the monitor logic: it owns the logic and the HTTP client it
// uses, and turns the window's handlers into the logic's refresh and operations.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/MonitorView.h"

#include <memory>

namespace quenlo {
class TMonitor;
class THttpCli;
}

namespace quenlo::app {

class MonitorHost {
public:
    // `view` and `printers` must outlive the host.
    MonitorHost(MonitorView& view, PrinterList& printers);
    ~MonitorHost();
    MonitorHost(const MonitorHost&) = delete;
    MonitorHost& operator=(const MonitorHost&) = delete;

    // Hands the proxy settings of the printers file to the HTTP client.
    void ApplyProxySettings(const ProxySettings& proxy);

    // The refresh of the selector's printer; every outcome shows in the view.
    void Refresh();
    // The refresh the watch starts while the window is shown (TMonitor::FollowRefresh).
    void FollowRefresh();
    // Job commands on the selected row, printer commands on the current printer; refusals and
    // failures are shown in message boxes by the logic itself.
    void CancelJob();
    void HoldJob();
    void ReleaseJob();
    void PausePrinter();
    void ResumePrinter();
    void PurgeJobs();

    // The logic and the client themselves, for the window's tests.
    TMonitor& Monitor();
    THttpCli& HttpCli1();

private:
    struct Logic;
    std::unique_ptr<Logic> logic_;
};

}  // namespace quenlo::app
