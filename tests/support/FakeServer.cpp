#include "support/FakeServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quenlo::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kRequestReadLimit{10000};
constexpr std::chrono::milliseconds kCloseDrainLimit{2000};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Length of the header (up to and including its empty line) when it is complete, else 0.
std::size_t HeaderEnd(const std::string& data)
{
    const std::size_t crlf = data.find("\r\n\r\n");
    const std::size_t lf = data.find("\n\n");
    std::size_t end = std::string::npos;
    if (crlf != std::string::npos)
        end = crlf + 4;
    if (lf != std::string::npos && (end == std::string::npos || lf + 2 < end))
        end = lf + 2;
    return end == std::string::npos ? 0 : end;
}

std::size_t ContentLength(const std::string& header)
{
    const std::string lower = Lower(header);
    const std::size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return static_cast<std::size_t>(std::strtoull(lower.c_str() + at + 16, nullptr, 10));
}

}  // namespace

// ---- Script ------------------------------------------------------------------------------------

FakeServer::Script& FakeServer::Script::ReadRequest()
{
    steps_.push_back({Kind::ReadRequest, {}, 0, {}});
    return *this;
}

FakeServer::Script& FakeServer::Script::Send(std::string bytes)
{
    steps_.push_back({Kind::Send, std::move(bytes), 0, {}});
    return *this;
}

FakeServer::Script& FakeServer::Script::SendInPieces(std::string bytes, std::size_t pieceSize,
                                                     std::chrono::milliseconds gap)
{
    steps_.push_back({Kind::Send, std::move(bytes), std::max<std::size_t>(pieceSize, 1), gap});
    return *this;
}

FakeServer::Script& FakeServer::Script::Wait(std::chrono::milliseconds duration)
{
    steps_.push_back({Kind::Wait, {}, 0, duration});
    return *this;
}

FakeServer::Script& FakeServer::Script::Close()
{
    steps_.push_back({Kind::Close, {}, 0, {}});
    return *this;
}

FakeServer::Script& FakeServer::Script::Reset()
{
    steps_.push_back({Kind::Reset, {}, 0, {}});
    return *this;
}

FakeServer::Script& FakeServer::Script::Hold()
{
    steps_.push_back({Kind::Hold, {}, 0, {}});
    return *this;
}

// ---- Server ------------------------------------------------------------------------------------

FakeServer::FakeServer()
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("FakeServer: socket/pipe failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("FakeServer: bind/listen failed");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer()
{
    stopping_ = true;
    const char byte = 0;
    [[maybe_unused]] const ssize_t w = ::write(wakeFds_[1], &byte, 1);
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
}

FakeServer::Script& FakeServer::Connection()
{
    std::lock_guard lock(mutex_);
    return scripts_.emplace_back();
}

void FakeServer::RepeatLast(bool repeat)
{
    std::lock_guard lock(mutex_);
    repeatLast_ = repeat;
}

std::string FakeServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::size_t FakeServer::Connections() const
{
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::string FakeServer::Received(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    return index < received_.size() ? received_[index] : std::string();
}

bool FakeServer::WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

std::string FakeServer::Response(int status, const std::string& reason, const std::string& body,
                                 const std::string& contentType)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void FakeServer::Run()
{
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (stopping_ || (fds[1].revents & POLLIN))
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        Script script;
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            index = received_.size();
            received_.emplace_back();
            if (index < scripts_.size())
                script = scripts_[index];
            else if (repeatLast_ && !scripts_.empty())
                script = scripts_.back();
        }
        Serve(fd, script, index);
        {
            std::lock_guard lock(mutex_);
            ++finished_;
        }
        changed_.notify_all();
    }
}

void FakeServer::Serve(int fd, const Script& script, std::size_t index)
{
    bool open = true;
    for (const Script::Step& step : script.steps_) {
        if (stopping_ || !open)
            break;
        switch (step.kind) {
        case Script::Kind::ReadRequest:
            open = ReadRequestOn(fd, index);
            break;
        case Script::Kind::Send:
            if (step.pieceSize == 0) {
                open = WriteAll(fd, step.bytes);
            } else {
                for (std::size_t at = 0; open && at < step.bytes.size() && !stopping_; at += step.pieceSize) {
                    open = WriteAll(fd, step.bytes.substr(at, step.pieceSize));
                    if (open && step.delay.count() > 0)
                        ReadSome(fd, index, step.delay);
                }
            }
            break;
        case Script::Kind::Wait: {
            const auto until = Clock::now() + step.delay;
            while (open && !stopping_ && Clock::now() < until)
                open = ReadSome(fd, index, std::chrono::duration_cast<std::chrono::milliseconds>(
                                               until - Clock::now()));
            break;
        }
        case Script::Kind::Hold:
            while (open && !stopping_)
                open = ReadSome(fd, index, std::chrono::milliseconds(1000));
            open = false;
            break;
        case Script::Kind::Reset: {
            linger lg{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            ::close(fd);
            return;
        }
        case Script::Kind::Close:
            open = false;
            break;
        }
    }
    // Orderly close: say we are done, then record what the client still sends until it closes.
    ::shutdown(fd, SHUT_WR);
    const auto until = Clock::now() + kCloseDrainLimit;
    while (!stopping_ && Clock::now() < until &&
           ReadSome(fd, index, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))) {
    }
    ::close(fd);
}

bool FakeServer::ReadRequestOn(int fd, std::size_t index)
{
    const auto until = Clock::now() + kRequestReadLimit;
    std::size_t start = 0;
    {
        std::lock_guard lock(mutex_);
        start = received_[index].size();
    }
    for (;;) {
        std::string request;
        {
            std::lock_guard lock(mutex_);
            request = received_[index].substr(start);
        }
        const std::size_t headerEnd = HeaderEnd(request);
        if (headerEnd != 0 && request.size() >= headerEnd + ContentLength(request.substr(0, headerEnd)))
            return true;
        if (stopping_ || Clock::now() >= until)
            return true;
        if (!ReadSome(fd, index, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())))
            return false;
    }
}

bool FakeServer::WriteAll(int fd, const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size() && !stopping_) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

bool FakeServer::ReadSome(int fd, std::size_t index, std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(std::max<long long>(timeout.count(), 0)));
    if (ready <= 0 || (fds[1].revents & POLLIN))
        return ready == 0 || (ready < 0 && errno == EINTR);
    char buffer[16384];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return false;
    Record(index, buffer, static_cast<std::size_t>(n));
    return true;
}

void FakeServer::Record(std::size_t index, const char* data, std::size_t len)
{
    std::lock_guard lock(mutex_);
    received_[index].append(data, len);
}

}  // namespace quenlo::test
