// Small helpers shared by the test fixtures that start real servers on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace quenlo::test {

// Whether the environment has CI=true: a peer that cannot run there fails the test, elsewhere it
// skips it.
bool InCi();

// A port on 127.0.0.1 that was free a moment ago, for servers that cannot listen on port 0 and
// tell us which one they got; 0 when none could be had.
int FreeLoopbackPort();

// A listening socket on 127.0.0.1 (::1 when `ipv6`) on a port the system picks, written to `port`;
// -1 when none could be made. `receiveBuffer` above 0: its SO_RCVBUF, which the accepted sockets
// inherit (little room in flight).
int ListenLoopback(std::uint16_t& port, bool ipv6 = false, int receiveBuffer = 0);

// A blocking TCP connection to 127.0.0.1:port (or [::1]:port), or -1.
int ConnectLoopback(int port, bool ipv6 = false);

// Whether something accepts a TCP connection on 127.0.0.1:port (or [::1]:port) right now.
bool LoopbackAccepts(int port, bool ipv6 = false);

// The whole file as bytes; empty when it cannot be opened, and what came before a failed read
// (a file of a process that ended meanwhile) - never an exception.
std::string ReadWholeFile(const std::string& path);

// Starts argv (argv[0] looked up in PATH) with standard input from /dev/null, standard output and
// error into `output` (appended to when `append`), and `extraEnv` ("NAME=value") added to our
// environment; -1 when it cannot be started.
pid_t Spawn(std::vector<std::string> argv, const std::string& output, const std::string& extraEnv = {},
            bool append = false);

// Starts a peer through scripts/harness.sh on a free port of 127.0.0.1: `args(port)` are the words
// after harness.sh (the process becomes the peer), its output goes to `output`. Waits up to 10 s for
// the port to accept (on [::1] as well with `alsoIpv6`: a peer listening on both binds them one
// after the other), trying three ports; sets port and pid. False (pid -1) when none came up.
bool StartHarnessPeer(const std::function<std::vector<std::string>(int port)>& args, const std::string& output,
                      int& port, pid_t& pid, bool alsoIpv6 = false);

// Ends a server we started: SIGTERM, up to 3 s for it to exit, then SIGKILL; always reaped, so no
// zombie is left. Sets pid to -1; does nothing when it is not positive.
void StopChildProcess(pid_t& pid);

}  // namespace quenlo::test

namespace quenlo::test {

// Serves the connections to a port of 127.0.0.1 one after another from a thread of its own: `serve`
// with each, which is closed after it. Stops on destruction.
class SerialServer {
public:
    explicit SerialServer(std::function<void(int fd)> serve);
    ~SerialServer();
    SerialServer(const SerialServer&) = delete;
    SerialServer& operator=(const SerialServer&) = delete;

    std::uint16_t Port() const { return port_; }
    bool Stopping() const { return stop_; }

private:
    std::function<void(int fd)> serve_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What `make` makes, unless `missing` names a tool this machine lacks or `make` throws: then
// nullptr, and `why` says which.
template <class Make>
auto StartedOrWhy(const std::string& missing, std::string& why, Make make) -> decltype(make())
{
    why = missing;
    if (!why.empty())
        return nullptr;
    try {
        return make();
    } catch (const std::exception& e) {
        why = e.what();
        return nullptr;
    }
}

// Sends all `n` bytes; false when the connection failed first.
bool SendAll(int fd, const char* data, std::size_t n);

// Ends what we send on the connection and reads until the client closes its side, so it gets
// all that was sent before the close.
void FinishSending(int fd);

// Accepts one connection on 127.0.0.1 and sends it `total` bytes from a thread of its own: `chunk`
// over and over, the last piece cut short, each piece whole before the next (so a stream of lines
// stays aligned on them); then closes it.
class StreamSender {
public:
    StreamSender(std::string chunk, std::size_t total);
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    std::uint16_t Port() const { return port_; }

private:
    void Run();

    std::string chunk_;
    std::size_t total_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace quenlo::test

// Ends the test when WHY, a text, names what this machine lacks for it: skipped, or failed under
// CI=true, where a test that does not run hides what it should have caught.
#define QUENLO_NEED(why)                                       \
    if (const std::string why_ = (why); !why_.empty()) {       \
        if (::quenlo::test::InCi())                            \
            GTEST_FAIL() << why_;                              \
        GTEST_SKIP() << why_;                                  \
    }

// Declares `var##_holder`, what START gives (a std::unique_ptr, empty with the reason in
// `var##_why_`), and `var`, the peer it holds; or skips the test (fails it under CI=true).
#define QUENLO_REQUIRE_STARTED_(var, what, start)                                          \
    std::string var##_why_;                                                                \
    auto var##_holder = start;                                                             \
    QUENLO_NEED(var##_holder ? "" : what " not available: " + var##_why_)                  \
    auto& var = *var##_holder
