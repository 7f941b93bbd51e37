// IppEvePrinter: Debian's ippeveprinter (cups-ipp-utils) started for tests, an IPP printer of its
// own on a free port of 127.0.0.1, stopped at the end.
//
//     TEST(Refresh, AgainstARealPrinter) {
//         QUENLO_REQUIRE_IPPEVEPRINTER(printer);   // IppEvePrinter& printer, or skip / fail under CI=true
//         http.SetURL(printer.Url());               // "http://127.0.0.1:PORT/ipp/print"
//     }
//
// The program will not start without a service-discovery daemon to register with, so each
// fixture also runs its own: a private message bus and an avahi-daemon on it (in a private mount
// namespace, since the daemon keeps its lock file at a fixed place). The printer listens on the
// loopback addresses only. Everything lives in its own directory under /tmp, and the destructor
// stops the three processes and removes the directory.
#pragma once

#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <sys/types.h>

namespace quenlo::test {

class IppEvePrinter {
public:
    // Why the printer cannot run here (a program missing), or empty when it can.
    static std::string MissingTools();

    // Starts the printer, ready to accept, named `name`. Throws std::runtime_error (with the
    // logs) when it does not come up within 15 s.
    explicit IppEvePrinter(std::string name = "quenlo-eve");
    ~IppEvePrinter();
    IppEvePrinter(const IppEvePrinter&) = delete;
    IppEvePrinter& operator=(const IppEvePrinter&) = delete;

    int Port() const { return port_; }
    const std::string& Name() const { return name_; }
    // The printer's address as the monitor uses it.
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ipp/print"; }
    // Ends the printer process alone (as a power cut would), and starts it again on the same port
    // (false when it does not come up within 15 s).
    void KillPrinter();
    bool RestartPrinter();
    // From now on every job takes `seconds` to print (a job command of the printer's), so that it
    // stays listed meanwhile; restarts the printer on its port. False when it does not come back.
    bool SlowJobs(int seconds);
    // What the three programs wrote so far (for failure messages).
    std::string Log() const;

    // A started printer, or nullptr with the reason in `why`.
    static std::unique_ptr<IppEvePrinter> TryStart(std::string& why);

private:
    void StartBus();
    void StartDiscovery();
    bool StartPrinter();
    bool SpawnPrinter();
    void Stop();

    std::string name_;
    TempDir temp_{"ippeve"};  // the printer's spool files are named by it; nothing else is in here
    std::string dir_ = temp_.Path();
    int port_ = 0;
    pid_t busPid_ = -1;
    pid_t discoveryPid_ = -1;
    pid_t printerPid_ = -1;
    std::string jobCommand_;
};

}  // namespace quenlo::test

// Declares `IppEvePrinter& var` (held by `var##_holder`), or skips the test (fails it under CI=true).
#define QUENLO_REQUIRE_IPPEVEPRINTER(var) \
    QUENLO_REQUIRE_STARTED_(var, "ippeveprinter", ::quenlo::test::IppEvePrinter::TryStart(var##_why_))
