// The real SOCKS servers of the tests, on 127.0.0.1 (dante on [::1] as well): Debian's
// dante-server (danted) or microsocks, started with a private configuration on a free port,
// stopped (and its directory removed) by the destructor.
//
//       QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"none"}));   // or skip / fail under CI=true
//       sock.SetSocksServer("127.0.0.1"); sock.SetSocksPort(std::to_string(proxy.Port()));
#pragma once

#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quenlo::test {

class SocksDaemon {
public:
    struct Config {
        enum class Program { Dante, Microsocks } program = Program::Dante;
        // dante: the socks methods offered, in order ("none", "username").
        std::vector<std::string> methods = {"none"};
        // microsocks: the user name and password it requires (empty: none).
        std::string user;
        std::string password;
    };
    static Config Dante(std::vector<std::string> methods) { return {Config::Program::Dante, std::move(methods), {}, {}}; }
    static Config Microsocks(std::string user, std::string password)
    {
        return {Config::Program::Microsocks, {}, std::move(user), std::move(password)};
    }

    // Why the program cannot run here (not installed), or empty.
    static std::string MissingTools(const Config& config);
    // A started proxy accepting connections, or nullptr with the reason in `why`.
    static std::unique_ptr<SocksDaemon> TryStart(const Config& config, std::string& why);

    // Starts the proxy; throws std::runtime_error (with its log) when it is not up within 10 s.
    explicit SocksDaemon(Config config);
    ~SocksDaemon();
    SocksDaemon(const SocksDaemon&) = delete;
    SocksDaemon& operator=(const SocksDaemon&) = delete;

    int Port() const { return port_; }
    // The proxy's log and output so far (for failure messages).
    std::string Log() const;

private:
    void Stop();

    Config config_;
    TempDir temp_{"socks", 0777};  // dante's unprivileged children log here too
    std::string dir_ = temp_.Path();
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace quenlo::test

// Declares `SocksDaemon& var` (held by `var##_holder`), or skips the test (fails it under CI=true).
#define QUENLO_REQUIRE_SOCKS(var, config) \
    QUENLO_REQUIRE_STARTED_(var, "SOCKS server", ::quenlo::test::SocksDaemon::TryStart((config), var##_why_))
