// CupsLab: a private CUPS server on 127.0.0.1 for tests, run by scripts/cups-lab.sh.
//
// Starting the server takes about half a second, so a test program normally shares one:
//
//     TEST(Refresh, ListsHeldJobs) {
//         QUENLO_REQUIRE_CUPS_LAB(lab);                  // CupsLab& lab, or skip / fail
//         const std::string printer = lab.AddUniquePrinter("refresh");
//         lab.HoldJobs(printer, 3, {.user = "anna", .title = "Report"});
//         ... talk to lab.PrinterUrl(printer) ...
//     }
//
// QUENLO_REQUIRE_CUPS_LAB_AUTH(lab) gives a second shared server on which the job and printer
// operations need Basic credentials (an anonymous client is refused with HTTP 401). On the default
// server every operation is open to anonymous clients on 127.0.0.1.
//
// The web interface is on. Note that this server version does not know the administration
// requests "/admin/?op=stop-printer&printer_name=NAME" and "...op=start-printer...": on the default
// server they answer 200 with an "Unknown operation" page and change nothing; on the guarded server
// they answer 401.
//
// When cupsd or its tools are not installed, or the server does not start, the macros skip the
// test with the reason; when the environment has CI=true they fail it instead.
//
// The shared servers are stopped when the test program exits; if the program dies first, the
// script's watcher stops them within a second or two. Printers persist for the life of a shared
// server, so tests use AddUniquePrinter to stay out of each other's way.
//
// All calls run the script with a time limit and throw std::runtime_error when it fails.
#pragma once

#include "support/LocalServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quenlo::test {

struct HoldOptions {
    std::string user{};     // requesting user; empty: the user running the tests
    std::size_t size = 1024;  // document bytes (at least 1)
    std::string title{};    // job name; empty: the server's or the helper's default
    bool fast = false;      // Print-Job requests over keep-alive connections: for thousands of jobs
};

// The outcome of a helper process.
struct ProcessResult {
    int exitCode = -1;  // -1 when it was killed (time limit) or could not be started
    std::string out;
    std::string err;
};

// Runs argv[0] (a path, no search) with a time limit; stdout and stderr are captured.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeLimit = std::chrono::seconds(120));

// The reply of PostHttp10.
struct HttpReply {
    int status = 0;
    std::string reason;
    std::string body;
};

// Sends one POST of `body` to 127.0.0.1:port `path` and reads the reply. Throws std::runtime_error
// when no reply with a status line came (no connection, a failure, `timeLimit` passed).
HttpReply PostHttp10(int port, const std::string& path, const std::string& body,
                     const std::string& contentType = "application/ipp",
                     std::chrono::milliseconds timeLimit = std::chrono::seconds(10));

// PostHttp10 of an IPP request body; returns the response body. Throws, as above, also when the
// HTTP status is not 200.
std::string PostIpp(int port, const std::string& path, const std::string& ippBody);

// Sends one HTTP/1.0 GET; same rules as PostHttp10.
HttpReply GetHttp10(int port, const std::string& pathAndQuery,
                    std::chrono::milliseconds timeLimit = std::chrono::seconds(10));

class CupsLab {
public:
    // Why a lab cannot run on this machine (tools missing), or empty when it can.
    static std::string MissingTools();

    // Starts a server in a fresh directory under /tmp, `mode` an option of the script's start
    // (--stock: the stock policy). Throws std::runtime_error when it fails.
    explicit CupsLab(bool auth = false, const std::string& mode = {});
    // Stops the server (if still running) and removes its directory.
    ~CupsLab();
    CupsLab(const CupsLab&) = delete;
    CupsLab& operator=(const CupsLab&) = delete;

    // The shared servers of this test program, started on first use. Return nullptr when no server
    // can run; then Unavailable() says why.
    static CupsLab* Shared();
    static CupsLab* SharedAuth();
    static std::string Unavailable(bool auth);

    int Port() const { return port_; }
    bool Auth() const { return auth_; }
    const std::string& Dir() const { return dir_; }
    // Process id of the server, or 0 after Stop.
    int ServerPid() const;

    // "127.0.0.1:PORT": the remotehost of a printers file entry for this server.
    std::string HostPort() const;
    // "/printers/NAME": the url of a printers file entry, and the HTTP path of the printer.
    static std::string PrinterPath(const std::string& printer);
    // "http://127.0.0.1:PORT/printers/NAME": the printer URL the monitor requests.
    std::string PrinterUrl(const std::string& printer) const;
    // "ipp://127.0.0.1:PORT/printers/NAME": the same printer as an IPP URI.
    std::string PrinterUri(const std::string& printer) const;

    void AddPrinter(const std::string& name);
    // Adds a printer named prefix + "-" + a number unique in this process; returns the name.
    std::string AddUniquePrinter(const std::string& prefix);
    void HoldJobs(const std::string& printer, int count, const HoldOptions& options = {});
    // Stops the printer with a state message (works in both modes).
    void Pause(const std::string& printer, const std::string& message);
    void Resume(const std::string& printer);
    // Stops the server and waits until it has ended. Safe to call twice.
    void Stop();

    // Runs scripts/cups-lab.sh with the given arguments after the subcommand and the directory.
    ProcessResult Script(const std::string& subcommand, const std::vector<std::string>& args = {}) const;
    // The same, throwing std::runtime_error when it fails; returns what it printed.
    std::string Run(const std::string& subcommand, const std::vector<std::string>& args = {}) const;

private:

    bool auth_;
    std::string dir_;
    int port_ = 0;
    bool running_ = false;
};

}  // namespace quenlo::test

#define QUENLO_CUPS_LAB_OR_SKIP_(var, getter, auth)                                        \
    ::quenlo::test::CupsLab* var##_ptr_ = ::quenlo::test::CupsLab::getter();              \
    QUENLO_NEED(var##_ptr_ ? "" : "CUPS lab not available: " + ::quenlo::test::CupsLab::Unavailable(auth)) \
    ::quenlo::test::CupsLab& var = *var##_ptr_

#define QUENLO_REQUIRE_CUPS_LAB(var) QUENLO_CUPS_LAB_OR_SKIP_(var, Shared, false)
#define QUENLO_REQUIRE_CUPS_LAB_AUTH(var) QUENLO_CUPS_LAB_OR_SKIP_(var, SharedAuth, true)
