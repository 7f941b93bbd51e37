#include "config/Gateways.h"

#include "platform/Process.h"

namespace quenlo {

std::string GatewayProgramPath(const std::string& exeDir) { return exeDir + kGatewayProgram; }

std::vector<std::string> GatewayArguments(const std::string& exeDir, const std::string& configDir,
                                          const std::string& name) {
    return {GatewayProgramPath(exeDir), configDir + "printers.qdl", name};
}

std::string GatewayCommandLine(const std::string& exeDir, const std::string& configDir,
                               const std::string& name) {
    return platform::QuotedCommandLine(GatewayArguments(exeDir, configDir, name));
}

void StartGateway(TAList& entry, const std::string& exeDir, const std::string& configDir) {
    const std::vector<std::string> argv = GatewayArguments(exeDir, configDir, entry.name);
    platform::ProcessHandle process = platform::StartProcess(argv[0], argv);
    if (!process.valid()) {
        entry.GatewayState = -1;
        return;
    }
    entry.GatewayProcess = process;
}

void StopGateways(PrinterList& printers) {
    for (TAList& entry : printers) {
        if (entry.GatewayState == -1 || !entry.GatewayProcess.valid())
            continue;
        platform::TerminateProcess(entry.GatewayProcess);
    }
}

}  // namespace quenlo
