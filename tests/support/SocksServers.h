// The real SOCKS servers of the tests, on 127.0.0.1 (dante on [::1] as well): Debian's
// dante-server (danted) or microsocks. On Linux each test starts its own with a private
// configuration on a free port, stopped (and its directory removed) by the destructor. Under wine
// the test cannot start Linux programs: scripts/wine-test.sh starts one of each kind beforehand and
// passes its port in the environment (QUENLO_WINE_DANTE_PORT, QUENLO_WINE_DANTE_USER_PORT,
// QUENLO_WINE_MICROSOCKS_PORT, and QUENLO_WINE_MICROSOCKS_AUTH_PORT for user "quenlo", password
// "s3cret").
//
//       QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"none"}));   // or skip / fail under CI=true
//       sock.SetSocksServer("127.0.0.1"); sock.SetSocksPort(std::to_string(proxy.Port()));
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace quenlo::test {

struct SocksConfig {
    enum class Program { Dante, Microsocks } program = Program::Dante;
    // dante: the socks methods offered, in order ("none", "username").
    std::vector<std::string> methods = {"none"};
    // microsocks: the user name and password it requires (empty: none).
    std::string user;
    std::string password;
};

// The two kinds of proxy, named as the tests ask for them: SocksDaemon::Dante({"none"}).
struct SocksKinds {
    using Config = SocksConfig;
    static Config Dante(std::vector<std::string> methods) { return {Config::Program::Dante, std::move(methods), {}, {}}; }
    static Config Microsocks(std::string user, std::string password)
    {
        return {Config::Program::Microsocks, {}, std::move(user), std::move(password)};
    }
};

}  // namespace quenlo::test

#ifdef _WIN32
#include "win/wine_peers.h"

namespace quenlo::test {

// The proxy of the config's kind that scripts/wine-test.sh started.
class SocksDaemon : public SocksKinds {
public:
    static std::unique_ptr<SocksDaemon> TryStart(const Config& config, std::string& why)
    {
        const char* variable = config.program == Config::Program::Microsocks
                                   ? (config.user.empty() ? "QUENLO_WINE_MICROSOCKS_PORT" : "QUENLO_WINE_MICROSOCKS_AUTH_PORT")
                                   : (config.methods == std::vector<std::string>{"none"} ? "QUENLO_WINE_DANTE_PORT"
                                                                                        : "QUENLO_WINE_DANTE_USER_PORT");
        const int port = wintest::PortFromEnvironment(variable);
        if (port == 0) {
            why = std::string(variable) + " is not set (scripts/wine-test.sh starts the proxies)";
            return nullptr;
        }
        return std::unique_ptr<SocksDaemon>(new SocksDaemon(port));
    }
    int Port() const { return port_; }
    std::string Log() const { return {}; }  // the proxy's log stays on the Linux side

private:
    explicit SocksDaemon(int port) : port_(port) {}
    int port_;
};

}  // namespace quenlo::test

#define QUENLO_REQUIRE_SOCKS(var, config)                                          \
    std::string var##_why_;                                                        \
    auto var##_holder = ::quenlo::test::SocksDaemon::TryStart((config), var##_why_); \
    if (!var##_holder) {                                                           \
        if (::quenlo::wintest::InCi())                                             \
            GTEST_FAIL() << "SOCKS server needed under CI: " << var##_why_;        \
        GTEST_SKIP() << "SOCKS server not available: " << var##_why_;             \
    }                                                                              \
    auto& var = *var##_holder

#else
#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <sys/types.h>

namespace quenlo::test {

class SocksDaemon : public SocksKinds {
public:

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
#endif
