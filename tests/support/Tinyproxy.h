// Tinyproxy: Debian's tinyproxy started on 127.0.0.1 for tests, with a private configuration and
// Basic authentication on.
//
//     TEST(Proxy, Works) {
//         QUENLO_REQUIRE_TINYPROXY(proxy);     // Tinyproxy& proxy, or skip / fail under CI=true
//         http.SetProxy("127.0.0.1");
//         http.SetProxyPort(std::to_string(proxy.Port()));
//         http.SetProxyUsername(proxy.User()); http.SetProxyPassword(proxy.Password());
//     }
//
// Each fixture is its own process on a free port, in its own directory under /tmp, stopped (and
// the directory removed) by the destructor. The proxy forwards to any host, 127.0.0.1 included.
#pragma once

#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <sys/types.h>

namespace quenlo::test {

class Tinyproxy {
public:
    // Why a proxy cannot run here (tinyproxy not installed), or empty when it can.
    static std::string MissingTools();

    // Starts the proxy, ready to accept, with "BasicAuth user password" and the lines of `extra`
    // ("ConnectPort 0" refuses every CONNECT). Throws std::runtime_error (with the proxy's log)
    // when it does not come up within 10 s.
    explicit Tinyproxy(std::string user = "quenlo", std::string password = "s3cret.pw",
                       std::string extra = {});
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    int Port() const { return port_; }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // The proxy's log so far (for failure messages).
    std::string Log() const;

    // A started proxy, or nullptr with the reason in `why`.
    static std::unique_ptr<Tinyproxy> TryStart(std::string& why, const std::string& extra = {});

private:
    void Stop();

    std::string user_;
    std::string password_;
    std::string extra_;
    // tinyproxy drops to its own user when started as root; it must still write its log here.
    TempDir temp_{"tinyproxy", 0777};
    std::string dir_ = temp_.Path();
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace quenlo::test

// Declares `Tinyproxy& var` (held by `var##_holder`), or skips the test (fails it under CI=true).
#define QUENLO_REQUIRE_TINYPROXY(var) \
    QUENLO_REQUIRE_STARTED_(var, "tinyproxy", ::quenlo::test::Tinyproxy::TryStart(var##_why_))
