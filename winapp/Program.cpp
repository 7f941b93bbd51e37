#include "winapp/Program.h"

#include "config/Gateways.h"
#include "config/PrintersFile.h"
#include "config/SetupHint.h"
#include "monitor/Monitor.h"
#include "net/HttpProt.h"
#include "platform/Process.h"

#include <optional>

namespace quenlo::winapp {

// The window's printer list, its HTTP client HttpCli1 with its design values, and the monitor
// logic that uses both. The list lives as long as the program: the monitor refers to its entries.
struct Program::Core {
    MonitorView& view;
    std::string exeDir;
    PrinterList printerList;
    THttpCli httpCli1;
    TMonitor monitor;
    std::optional<bool> created;
    bool destroyed = false;
    std::string setupHint;

    Core(MonitorView& v, std::string dir) : view(v), exeDir(std::move(dir)), monitor(v, httpCli1, printerList) {
        ApplyHttpCli1Design(httpCli1);
    }

    bool Create() {
        if (exeDir.empty())
            exeDir = platform::ExecutableDir();
        // A missing file ends the program silently.
        const std::optional<std::string> located = LocatePrintersFile();
        if (!located)
            return NothingToWatch(std::string());
        ProxySettings proxy;
        const std::string dir = exeDir;
        const bool read = ReadPrintersFile(*located, printerList, proxy, [&dir](TAList& entry, const std::string& at) {
            StartGateway(entry, dir, at);
        });
        if (!read)
            return NothingToWatch(std::string());
        ApplyProxySettings(httpCli1, proxy);
        for (TAList& entry : printerList)
            entry.StatusText = "idle, accepting jobs";
        if (!monitor.FillView())
            return NothingToWatch(*located + kPrintersFileName);
        monitor.ComboBoxPrinterlistChange();
        return true;
    }

    bool NothingToWatch(const std::string& fileWithoutPrinters) {
        setupHint = SetupHintText(PrintersFileSearch::FromProcess(), fileWithoutPrinters);
        return false;
    }
};

Program::Program(MonitorView& view, std::string exeDir) : core_(std::make_unique<Core>(view, std::move(exeDir))) {}

Program::~Program() { FormDestroy(); }

const std::string& Program::SetupHint() const { return core_->setupHint; }

bool Program::FormCreate() {
    if (!core_->created)
        core_->created = core_->Create();
    return *core_->created;
}

void Program::FormDestroy() {
    if (core_->destroyed)
        return;
    core_->destroyed = true;
    StopGateways(core_->printerList);
}

void Program::ComboBoxPrinterlistChange() { core_->monitor.ComboBoxPrinterlistChange(); }
void Program::MegszakitClick() { core_->monitor.MegszakitClick(); }
void Program::SzunetClick() { core_->monitor.SzunetClick(); }
void Program::FolytatClick() { core_->monitor.FolytatClick(); }
void Program::NyomtatofelfuggeszteseClick() { core_->monitor.NyomtatofelfuggeszteseClick(); }
void Program::NyomtatofolytatasaClick() { core_->monitor.NyomtatofolytatasaClick(); }
void Program::OsszesfeladattorleseClick() { core_->monitor.OsszesfeladattorleseClick(); }

}  // namespace quenlo::winapp
