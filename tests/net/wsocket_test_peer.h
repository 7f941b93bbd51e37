// Helpers for the socket tests: a scripted TCP peer on 127.0.0.1 (plain blocking POSIX sockets on
// its own thread), a run-until loop over the event loop, and small POSIX utilities.
#pragma once

#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "support/LocalServers.h"
#include "support/RunUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quenlo::testing {

using namespace std::chrono_literals;

// The shared run-until helpers, under the names these tests use.
inline bool RunLoopUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms)
{
    return test::runUntil(pred, timeout);
}
inline void RunLoopFor(std::chrono::milliseconds duration)
{
    test::runFor(duration);
}

// Reads up to len bytes with a deadline; returns the count (0 at end of stream, -1 on error/time-out).
inline long RecvWithin(int fd, void* buf, std::size_t len, int timeoutMs = 5000)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    return ::recv(fd, buf, len, 0);
}

inline bool SendAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the peer closes (or 10 s pass); returns everything read.
inline std::string RecvToEnd(int fd)
{
    std::string all;
    char buf[8192];
    for (;;) {
        long n = RecvWithin(fd, buf, sizeof(buf), 10000);
        if (n <= 0)
            return all;
        all.append(buf, static_cast<std::size_t>(n));
    }
}

// A listening socket on 127.0.0.1 (port 0); Serve runs a script on each accepted connection, on
// a thread of its own, one connection after another.
class TestPeer {
public:
    using Script = std::function<void(int fd)>;

    explicit TestPeer(int rcvBuf = 0)
    {
        listener_ = test::ListenLoopback(port_, false, rcvBuf);
    }
    ~TestPeer()
    {
        Join();
        ::close(listener_);
    }

    std::string Port() const { return std::to_string(port_); }

    // Accepts `count` connections in turn and runs the script on each (the fd is closed after).
    void Serve(Script script, int count = 1)
    {
        thread_ = std::thread([this, script = std::move(script), count] {
            for (int i = 0; i < count; ++i) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0)
                    return;
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    return;
                script(fd);
                ::close(fd);
                ++served_;
            }
        });
    }
    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    int Served() const { return served_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<int> served_{0};
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
inline std::string RefusingPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return std::to_string(ntohs(a.sin_port));
}

inline int OpenDescriptorCount()
{
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++count;
        ::closedir(d);
    }
    return count - 1;  // the directory stream itself
}

inline int ThreadCount()
{
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++count;
        ::closedir(d);
    }
    return count;
}

// Sets Addr/Port/Proto to 127.0.0.1:port over TCP and connects.
inline void ConnectTo(TCustomWSocket& s, const std::string& port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
    s.SetProto("tcp");
    s.Connect();
}

}  // namespace quenlo::testing
