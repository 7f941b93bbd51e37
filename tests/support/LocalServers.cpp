#include "support/LocalServers.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quenlo::test {

namespace {

const char* const kHarness = QUENLO_SOURCE_DIR "/scripts/harness.sh";

sockaddr_in LoopbackAddress(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    return addr;
}

}  // namespace

int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr = LoopbackAddress(0);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

int ListenLoopback(std::uint16_t& port, bool ipv6, int receiveBuffer)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_storage addr{};
    socklen_t len;
    if (ipv6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        len = sizeof(sockaddr_in6);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(sockaddr_in);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    // The port sits at the same place in both records.
    port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return fd;
}

int ConnectLoopback(int port, bool ipv6)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in addr = LoopbackAddress(port);
    sockaddr_in6 addr6{};
    addr6.sin6_family = AF_INET6;
    addr6.sin6_addr = in6addr_loopback;
    addr6.sin6_port = htons(static_cast<std::uint16_t>(port));
    const int connected = ipv6 ? ::connect(fd, reinterpret_cast<const sockaddr*>(&addr6), sizeof addr6)
                               : ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (connected != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool LoopbackAccepts(int port, bool ipv6)
{
    const int fd = ConnectLoopback(port, ipv6);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

std::string ReadWholeFile(const std::string& path)
{
    // Files under /proc vanish with their process, between the open and the read; the stream's
    // buffer then throws from its read. Copying through operator<< catches that and keeps what came.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

pid_t Spawn(std::vector<std::string> argv, const std::string& output, const std::string& extraEnv, bool append)
{
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        envStrings.emplace_back(*e);
    if (!extraEnv.empty())
        envStrings.push_back(extraEnv);
    std::vector<char*> env;
    for (auto& e : envStrings)
        env.push_back(e.data());
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC),
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

namespace {

// Waits up to 10 s for 127.0.0.1:port to accept; false (pid -1) when the peer ended first or did
// not come up.
bool AcceptsBeforeItEnds(int port, pid_t& pid, bool alsoIpv6)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        if (LoopbackAccepts(port) && (!alsoIpv6 || LoopbackAccepts(port, true)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopChildProcess(pid);
    return false;
}

}  // namespace

bool StartHarnessPeer(const std::function<std::vector<std::string>(int port)>& args, const std::string& output,
                      int& port, pid_t& pid, bool alsoIpv6)
{
    // A free port may be taken meanwhile (the peer then ends at once): another one is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = FreeLoopbackPort();
        std::vector<std::string> argv{kHarness};
        const std::vector<std::string> words = args(port);
        argv.insert(argv.end(), words.begin(), words.end());
        pid = Spawn(argv, output);
        if (pid > 0 && AcceptsBeforeItEnds(port, pid, alsoIpv6))
            return true;
    }
    return false;
}

void StopChildProcess(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
}

SerialServer::SerialServer(std::function<void(int fd)> serve) : serve_(std::move(serve))
{
    listener_ = ListenLoopback(port_);
    thread_ = std::thread([this] {
        while (!stop_) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            serve_(fd);
            ::close(fd);
        }
    });
}

SerialServer::~SerialServer()
{
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

bool SendAll(int fd, const char* data, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void FinishSending(int fd)
{
    ::shutdown(fd, SHUT_WR);
    char buf[4096];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
}

StreamSender::StreamSender(std::string chunk, std::size_t total) : chunk_(std::move(chunk)), total_(total)
{
    listener_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

StreamSender::~StreamSender()
{
    thread_.join();
    ::close(listener_);
}

void StreamSender::Run()
{
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    for (std::size_t sent = 0; sent < total_;) {
        const std::size_t want = std::min(chunk_.size(), total_ - sent);
        if (!SendAll(fd, chunk_.data(), want))
            break;
        sent += want;
    }
    ::close(fd);
}

}  // namespace quenlo::test
