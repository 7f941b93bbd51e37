// Gateway processes: one instance of the gateway program "Ferrowick.exe" beside every configured
// printer whose localport is 0 or more.
//
// The printers file reader calls StartGateway at each "<endprinter>" line, right after the entry
// was appended, so gateways start in file order while the file is read. The program does not talk
// to a gateway, watch it or restart it; at shutdown StopGateways ends every gateway it started, in
// list order, without waiting. A gateway that cannot be started is marked in its entry
// (GatewayState -1) and changes nothing else.
//
// A gateway gets, after its program path, two arguments: the printers file path
// (ConfigDir + "printers.qdl", relative when ConfigDir is empty) and the printer's name. It runs with
// the program's own environment and current directory, so a relative path resolves as it did for
// the program.
#pragma once

#include "config/PrintersFile.h"

#include <string>
#include <vector>

namespace quenlo {

// File name of the gateway program, looked for only in the program's own directory.
inline constexpr const char* kGatewayProgram = "Ferrowick.exe";

// The gateway's program path: exeDir + "Ferrowick.exe".
std::string GatewayProgramPath(const std::string& exeDir);

// The gateway's argument vector: {program path, configDir + "printers.qdl", name}.
std::vector<std::string> GatewayArguments(const std::string& exeDir, const std::string& configDir,
                                          const std::string& name);

// The documented single-string form of the same command: the three pieces each enclosed in double
// quotes, separated by single spaces, with no escaping of the pieces.
std::string GatewayCommandLine(const std::string& exeDir, const std::string& configDir,
                               const std::string& name);

// Starts the gateway of `entry` (the caller has checked that its localport is 0 or more). On
// success the entry holds the process in GatewayProcess; on failure its GatewayState becomes -1 and
// no process is held. Never throws and shows nothing.
void StartGateway(TAList& entry, const std::string& exeDir, const std::string& configDir);

// Terminates, in list order, the gateway of every entry whose GatewayState is not -1 and which
// holds a process, and lets go of it. Does not wait for them to end; a gateway that already ended
// on its own is simply gone. Safe to call more than once.
void StopGateways(PrinterList& printers);

}  // namespace quenlo
