// The user's credential store: passwords kept by the desktop instead of a file.
//
// On Linux the desktop's keyring over the session bus (any Secret Service: a GNOME keyring, KWallet);
// on Windows the Credential Manager of the logged-on user. One password is kept per server and user
// name, the server being "host:port" (the same for plain and encrypted requests, which share a
// port). The keyring's own tools show the entry as "Quenlo: USER@HOST:PORT".
//
// Every call blocks until the store answers or a bound of kStoreBound passes (a locked keyring
// whose unlock prompt is never answered counts as no store). A store that is absent, locked or
// refuses answers NoStore with a text that names what is missing; it is never an error of the
// caller, and nothing is ever written anywhere else instead.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quenlo::platform {

inline constexpr std::chrono::seconds kStoreBound{30};

struct StoreAnswer {
    enum Status { Found, Missing, NoStore };
    Status status = Missing;
    std::string password;  // Found: the password; clear it once used (ClearSecret)
    std::string text;      // NoStore: what is missing, for the user
};

struct StoredCredential {
    std::string server;  // host:port
    std::string user;
};

// "host:port" of `hostPort` ("host", "host:port", "[v6]" or "[v6]:port") with the host in lower
// case and `defaultPort` where no port is given: the key of a server's credentials.
std::string CredentialServer(const std::string& hostPort, const std::string& defaultPort);
// "Quenlo: USER@SERVER", the label a person sees in the keyring's tool.
std::string CredentialLabel(const std::string& server, const std::string& user);

StoreAnswer LookupPassword(const std::string& server, const std::string& user);
// True once the store holds `password`; false with `error` set otherwise.
bool StorePassword(const std::string& server, const std::string& user, const std::string& password,
                   std::string& error);
// Found: removed; Missing: there was none; NoStore: `text` says why.
StoreAnswer ForgetPassword(const std::string& server, const std::string& user);
// Every server and user kept by this program, never a password. NoStore sets `error`.
bool ListCredentials(std::vector<StoredCredential>& out, std::string& error);

// One line of standard input, its line end dropped. On a terminal `prompt` is shown on standard
// error first and the typing is not echoed; otherwise the line is read as it comes (a pipe, for
// scripts). nullopt when the input ends before a line starts.
std::optional<std::string> ReadPasswordLine(const std::string& prompt);

// ReadPasswordLine's system halves: whether standard input is a terminal (a console), and turning
// its echo off or back on (true when done).
bool StdinIsTerminal();
bool SetTerminalEcho(bool on);

// Overwrites a password's bytes before its buffer is given back.
void ClearSecret(std::string& secret) noexcept;

}  // namespace quenlo::platform
