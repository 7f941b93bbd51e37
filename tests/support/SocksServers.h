// Peers for the SOCKS and line-mode tests, on 127.0.0.1 (dante on [::1] as well):
//
// - SocksDaemon: Debian's dante-server (danted) or microsocks, started with a private
//   configuration on a free port, stopped (and its directory removed) by the destructor.
//
//       QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"none"}));   // or skip / fail under CI=true
//       sock.SetSocksServer("127.0.0.1"); sock.SetSocksPort(std::to_string(proxy.Port()));
//
// - EchoServer: sends back every byte it receives, on any number of connections.
// - ScriptedPeer: accepts one connection and runs a script on it (plain blocking socket calls on
//   its own thread, every read with a deadline); records what the client sent.
#pragma once

#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// Sends back every byte received, on every connection, until destroyed.
class EchoServer {
public:
    explicit EchoServer(bool ipv6 = false);  // on 127.0.0.1, or on ::1
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;
    std::uint16_t Port() const { return port_; }

private:
    void Run();
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// One scripted connection. The script runs on the peer's thread with the accepted socket.
class ScriptedPeer {
public:
    class Connection {
    public:
        // Reads exactly n bytes (fewer when the client closes or 5 s pass); records them.
        std::string Read(std::size_t n);
        // Reads whatever arrives within `wait`; records it.
        std::string ReadFor(std::chrono::milliseconds wait);
        // Writes all the bytes.
        bool Write(const std::string& bytes);
        // Waits until the client closes (at most 5 s), recording what it still sends.
        void WaitForClose();
        int Fd() const { return fd_; }

    private:
        friend class ScriptedPeer;
        Connection(int fd, ScriptedPeer& peer) : fd_(fd), peer_(peer) {}
        // Reads until n bytes came, the client closed or `wait` passed; records them.
        std::string ReadUpTo(std::size_t n, std::chrono::milliseconds wait);
        int fd_;
        ScriptedPeer& peer_;
    };
    using Script = std::function<void(Connection&)>;

    // Listens at once; the script runs on the first connection, which is closed after it.
    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // Everything the client sent so far.
    std::string Received() const;
    // The script has run to its end.
    bool Finished() const { return finished_; }

private:
    void Record(const char* data, std::size_t len);
    int listener_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::string received_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace quenlo::test

// Declares `SocksDaemon& var` (held by `var##_holder`), or skips the test (fails it under CI=true).
#define QUENLO_REQUIRE_SOCKS(var, config) \
    QUENLO_REQUIRE_STARTED_(var, "SOCKS server", ::quenlo::test::SocksDaemon::TryStart((config), var##_why_))
