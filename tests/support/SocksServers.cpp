#include "support/SocksServers.h"
#include "support/LocalServers.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quenlo::test {

namespace {

const char* const kDante = "/usr/sbin/danted";
const char* const kMicrosocks = "/usr/bin/microsocks";


bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SocksDaemon

std::string SocksDaemon::MissingTools(const Config& config)
{
    const char* program = config.program == Config::Program::Dante ? kDante : kMicrosocks;
    return ::access(program, X_OK) == 0 ? std::string() : std::string(program) + " is not installed";
}

std::unique_ptr<SocksDaemon> SocksDaemon::TryStart(const Config& config, std::string& why)
{
    why = MissingTools(config);
    if (!why.empty())
        return nullptr;
    try {
        return std::make_unique<SocksDaemon>(config);
    } catch (const std::exception& e) {
        why = e.what();
        return nullptr;
    }
}

SocksDaemon::SocksDaemon(Config config)
    : config_(std::move(config))
{
    const auto args = [this](int port) {
        std::vector<std::string> words;
        if (config_.program == Config::Program::Dante) {
            words = {"dante", dir_, std::to_string(port)};
            words.insert(words.end(), config_.methods.begin(), config_.methods.end());
        } else {
            words = {"microsocks", std::to_string(port)};
            if (!config_.user.empty())
                words.insert(words.end(), {config_.user, config_.password});
        }
        return words;
    };
    if (StartHarnessPeer(args, dir_ + "/output.txt", port_, pid_))
        return;
    throw std::runtime_error("SocksDaemon: did not start:\n" + Log());
}

SocksDaemon::~SocksDaemon()
{
    Stop();
}

void SocksDaemon::Stop()
{
    StopChildProcess(pid_);
}

std::string SocksDaemon::Log() const
{
    return ReadWholeFile(dir_ + "/danted.log") + ReadWholeFile(dir_ + "/output.txt");
}

// ---------------------------------------------------------------------------------------------
// EchoServer

EchoServer::EchoServer(bool ipv6)
{
    listener_ = ListenLoopback(port_, ipv6);
    if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("EchoServer: cannot listen");
    thread_ = std::thread([this] { Run(); });
}

EchoServer::~EchoServer()
{
    const char stop = 0;
    [[maybe_unused]] auto written = ::write(wake_[1], &stop, 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void EchoServer::Run()
{
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    char buffer[16384];
    for (;;) {
        if (::poll(fds.data(), fds.size(), 10000) < 0)
            break;
        if (fds[0].revents != 0)
            break;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                fds.push_back({fd, POLLIN, 0});
        }
        for (std::size_t i = 2; i < fds.size();) {
            if (fds[i].revents == 0) {
                ++i;
                continue;
            }
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            bool open = n > 0;
            for (ssize_t sent = 0; open && sent < n;) {
                const ssize_t m = ::send(fds[i].fd, buffer + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
                open = m > 0;
                sent += std::max<ssize_t>(m, 0);
            }
            if (!open) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            ++i;
        }
    }
    for (std::size_t i = 2; i < fds.size(); ++i)
        ::close(fds[i].fd);
}

// ---------------------------------------------------------------------------------------------
// ScriptedPeer

ScriptedPeer::ScriptedPeer(Script script)
{
    listener_ = ListenLoopback(port_);
    if (listener_ < 0)
        throw std::runtime_error("ScriptedPeer: cannot listen");
    thread_ = std::thread([this, script = std::move(script)] {
        // Bounded waits, so the destructor never hangs on a client that never comes.
        for (int waited = 0; waited < 10000 && !stopping_; waited += 50) {
            if (!WaitReadable(listener_, 50))
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                break;
            Connection connection(fd, *this);
            script(connection);
            ::close(fd);
            break;
        }
        finished_ = true;
    });
}

ScriptedPeer::~ScriptedPeer()
{
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

std::string ScriptedPeer::Received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void ScriptedPeer::Record(const char* data, std::size_t len)
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(data, len);
}

std::string ScriptedPeer::Connection::ReadUpTo(std::size_t n, std::chrono::milliseconds wait)
{
    std::string got;
    const auto until = std::chrono::steady_clock::now() + wait;
    while (got.size() < n && !peer_.stopping_ && std::chrono::steady_clock::now() < until) {
        if (!WaitReadable(fd_, 20))
            continue;
        char buffer[4096];
        const ssize_t r = ::recv(fd_, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(r));
        peer_.Record(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

std::string ScriptedPeer::Connection::Read(std::size_t n)
{
    return ReadUpTo(n, std::chrono::seconds(5));
}

std::string ScriptedPeer::Connection::ReadFor(std::chrono::milliseconds wait)
{
    return ReadUpTo(std::string::npos, wait);
}

bool ScriptedPeer::Connection::Write(const std::string& bytes)
{
    return SendAll(fd_, bytes.data(), bytes.size());
}

void ScriptedPeer::Connection::WaitForClose()
{
    ReadFor(std::chrono::seconds(5));
}

}  // namespace quenlo::test
