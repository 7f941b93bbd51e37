#include "app/MonitorHost.h"

namespace quenlo::app {

// The monitor logic (refresh and operations) is hooked up here, and only here.
struct MonitorHost::Logic {
    MonitorView& view;
    PrinterList& printers;
};

MonitorHost::MonitorHost(MonitorView& view, PrinterList& printers)
    : logic_(std::make_unique<Logic>(Logic{view, printers})) {}

MonitorHost::~MonitorHost() = default;

void MonitorHost::ApplyProxySettings(const ProxySettings&) {}
void MonitorHost::Refresh() {}
void MonitorHost::CancelJob() {}
void MonitorHost::HoldJob() {}
void MonitorHost::ReleaseJob() {}
void MonitorHost::PausePrinter() {}
void MonitorHost::ResumePrinter() {}
void MonitorHost::PurgeJobs() {}

}  // namespace quenlo::app
