#include "app/MonitorHost.h"

#include "monitor/Monitor.h"
#include "net/HttpProt.h"

namespace quenlo::app {

// The window's HTTP client HttpCli1, with its design values, and the monitor logic that uses it.
struct MonitorHost::Logic {
    THttpCli httpCli1;
    TMonitor monitor;

    Logic(MonitorView& view, PrinterList& printers) : monitor(view, httpCli1, printers) {
        ApplyHttpCli1Design(httpCli1);
    }
};

MonitorHost::MonitorHost(MonitorView& view, PrinterList& printers)
    : logic_(std::make_unique<Logic>(view, printers)) {}

MonitorHost::~MonitorHost() = default;

void MonitorHost::ApplyProxySettings(const ProxySettings& proxy) {
    quenlo::ApplyProxySettings(logic_->httpCli1, proxy);
}

void MonitorHost::Refresh() { logic_->monitor.ComboBoxPrinterlistChange(); }
void MonitorHost::FollowRefresh() { logic_->monitor.FollowRefresh(); }
void MonitorHost::CancelJob() { logic_->monitor.MegszakitClick(); }
void MonitorHost::HoldJob() { logic_->monitor.SzunetClick(); }
void MonitorHost::ReleaseJob() { logic_->monitor.FolytatClick(); }
void MonitorHost::PausePrinter() { logic_->monitor.NyomtatofelfuggeszteseClick(); }
void MonitorHost::ResumePrinter() { logic_->monitor.NyomtatofolytatasaClick(); }
void MonitorHost::PurgeJobs() { logic_->monitor.OsszesfeladattorleseClick(); }

TMonitor& MonitorHost::Monitor() { return logic_->monitor; }
THttpCli& MonitorHost::HttpCli1() { return logic_->httpCli1; }

}  // namespace quenlo::app
