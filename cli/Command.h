// quenlo-cli: one program, many commands. Each cli/*.cpp file registers its commands with a
// static CommandRegistration, so adding a command never touches main.cpp.
//
// Exit codes, for every command: 0 success; 1 the operation failed (message on standard error);
// 2 a bad argument (a usage line on standard error). "--help" among a command's arguments prints its
// help instead of running it; "quenlo-cli --help", "--version" and "--man" (the manual page in roff)
// stand alone.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/MonitorView.h"
#include "platform/Manual.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quenlo::cli {

// Raised by a command (or by Args) for a bad argument; main prints the command's usage line and
// exits 2.
struct UsageError {
    std::string detail;
};

// Options of the form "--name value" (for names in `valued`) or "--name" (for names in `flags`),
// anywhere on the line; everything else is positional. Unknown options are usage errors.
class Args {
public:
    Args(const std::vector<std::string>& argv, const std::set<std::string>& valued,
         const std::set<std::string>& flags = {});

    std::optional<std::string> value(const std::string& name) const;
    std::string valueOr(const std::string& name, const std::string& fallback) const;
    bool flag(const std::string& name) const { return flags_.count(name) != 0; }
    const std::vector<std::string>& positional() const { return positional_; }

    // A non-negative decimal integer option, or a UsageError.
    std::optional<long long> number(const std::string& name) const;

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
};

struct Command {
    std::string name;
    std::string usage;  // the rest of the usage line after "quenlo-cli NAME"
    std::function<int(const std::vector<std::string>& args)> run;
};

std::map<std::string, Command>& Commands();

struct CommandRegistration {
    explicit CommandRegistration(Command c) { Commands()[c.name] = std::move(c); }
};

// quenlo-cli's manual (cli/manual.cpp): the page of --help and quenlo-cli(1), and one command's
// --help.
platform::ManualPage CliManual();
std::string CommandHelp(const Command& command);

// Reads all of standard input as bytes.
std::string ReadAllStdin();

// A text as one field of a tab-separated record line: a backslash, tab, CR or LF inside it is
// written as \\, \t, \r or \n, so every line is exactly one record and reads back unambiguously.
// Texts come from servers and files, so nothing in them may drive the terminal either: every other
// control byte (below 0x20, and DEL) is written as \xHH, and the UTF-8 forms of the C1 controls
// (U+0080 to U+009F) and of the bidirectional embeddings, overrides and isolates (U+202A to U+202E,
// U+2066 to U+2069) as \uHHHH. A byte that starts no well-formed UTF-8 sequence (a lone 0x9B, the
// 8-bit CSI; code page 1250 text too) is written as \xHH. Everything else passes unchanged.
std::string EscapedField(const std::string& text);
// The same, appended to `line`.
void AppendEscapedField(std::string& line, const std::string& text);

// Tells standard error that a password went in plain HTTP because the server answered the TLS
// handshake in plain HTTP; `whose` names the entry ("printer NAME") or is empty.
void WarnPasswordWentPlain(const std::string& whose);

// Asks for `user`'s password at `server` (HOST:PORT): on the terminal without echo, else one line
// of standard input. nullopt when the input ends first.
std::optional<std::string> AskPassword(const std::string& server, const std::string& user);
// Puts the password in the credential store; false, with the reason on standard error under
// "quenlo-cli COMMAND:", when it was not kept.
bool KeepPassword(const char* command, const std::string& server, const std::string& user,
                  const std::string& password);

// The directory prefix of a file path ("dir/" or empty), as the printers file's ConfigDir.
std::string DirectoryPrefix(const std::string& path);

// "green", "yellow" or "red".
const char* LampName(Lamp lamp);

// The printers file the command line names: --config FILE, or --file FILE where a command takes
// that older name; nothing when neither is given. An empty FILE, or both names, is a UsageError.
std::optional<std::string> GivenPrintersFile(const Args& args);

// Reads the printers file GivenPrintersFile names, else the one the window would find, and returns
// its path. Prints the reason and returns nothing when there is none or it cannot be read.
std::optional<std::string> ReadPrinters(const Args& args, PrinterList& printers, ProxySettings& proxy);

// ReadPrinters, also refusing a file that lists no printer (the reason printed).
bool LoadPrinters(const Args& args, PrinterList& printers, ProxySettings& proxy);

}  // namespace quenlo::cli
