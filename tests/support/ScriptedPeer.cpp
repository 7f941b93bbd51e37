#include "support/ScriptedPeer.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace quenlo::test {

namespace ws = platform::ws;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRequestReadLimit = 10s;
constexpr auto kCloseDrainLimit = 2s;
constexpr auto kWriteStallLimit = 10s;
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoLinger = 0x0080;
constexpr int kSoRcvBuf = 0x1002;
constexpr int kTcpNoDelay = 1;

// The layer's sockets never block, and it has no call that waits for one: the peer waits here
// until `s` may be ready, at most until `until` and never long, so that a stop is seen at once.
// On Windows it just pauses a millisecond before the caller tries again.
void WaitReady(ws::SOCKET s, bool forWrite, Clock::time_point until = Clock::now() + 50ms)
{
#if defined(_WIN32)
    (void)s;
    (void)forWrite;
    (void)until;
    std::this_thread::sleep_for(1ms);
#else
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    ::poll(&p, 1, static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 50)));
#endif
}

bool WouldBlock()
{
    const int error = ws::WSAGetLastError();
    return error == ws::WSAEWOULDBLOCK || error == ws::WSAEINPROGRESS;
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
    const std::string lower = platform::AsciiLower(header);
    const std::size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return static_cast<std::size_t>(std::strtoull(lower.c_str() + at + 16, nullptr, 10));
}

bool RequestComplete(const std::string& request)
{
    const std::size_t headerEnd = HeaderEnd(request);
    return headerEnd != 0 && request.size() >= headerEnd + ContentLength(request.substr(0, headerEnd));
}

}  // namespace

// ---- Link --------------------------------------------------------------------------------------

std::string Link::ReadSome(std::size_t max, std::chrono::milliseconds limit)
{
    const auto until = Clock::now() + limit;
    while (!peerClosed_ && !Stopping()) {
        char buffer[16384];
        const int r = ws::recv(socket_, buffer, static_cast<int>(std::min(sizeof buffer, max)), 0);
        if (r > 0) {
            if (record_)
                record_(buffer, static_cast<std::size_t>(r));
            return std::string(buffer, static_cast<std::size_t>(r));
        }
        if (r == 0 || !WouldBlock())
            peerClosed_ = true;
        else if (Clock::now() >= until)
            break;
        else
            WaitReady(socket_, false, until);
    }
    return {};
}

std::string Link::Read(std::size_t n, std::chrono::milliseconds limit)
{
    std::string got;
    const auto until = Clock::now() + limit;
    while (got.size() < n && !peerClosed_ && !Stopping()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        const std::string piece = ReadSome(n - got.size(), std::max(left, 0ms));
        if (piece.empty() && Clock::now() >= until)
            break;
        got += piece;
    }
    return got;
}

std::string Link::ReadFor(std::chrono::milliseconds wait)
{
    return Read(std::string::npos, wait);
}

std::string Link::ReadToEnd(std::chrono::milliseconds silence)
{
    std::string all;
    for (std::string piece; !(piece = ReadSome(std::string::npos, silence)).empty();)
        all += piece;
    return all;
}

bool Link::ReadRequest()
{
    std::string request;
    const auto until = Clock::now() + kRequestReadLimit;
    while (!RequestComplete(request) && !peerClosed_ && !Stopping() && Clock::now() < until) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        request += ReadSome(std::string::npos, left);
    }
    return !peerClosed_ || RequestComplete(request);
}

bool Link::Write(std::string_view bytes)
{
    auto lastProgress = Clock::now();
    while (!bytes.empty() && !Stopping()) {
        const int n = ws::send(socket_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)), 0);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            lastProgress = Clock::now();
        } else if (n < 0 && WouldBlock() && Clock::now() - lastProgress < kWriteStallLimit) {
            WaitReady(socket_, true);
        } else {
            return false;
        }
    }
    return bytes.empty();
}

void Link::Shutdown(int how)
{
    ws::shutdown(socket_, how);
}

void Link::Reset()
{
    const std::uint16_t hard[2] = {1, 0};  // linger on, for 0 s
    ws::setsockopt(socket_, kSolSocket, kSoLinger, hard, sizeof hard);
    Close();
}

void Link::Close()
{
    if (socket_ != ws::INVALID_SOCKET)
        ws::closesocket(socket_);
    socket_ = ws::INVALID_SOCKET;
}

LoopbackPair ConnectLoopbackPair()
{
    std::uint16_t port = 0;
    const ws::SOCKET listener = BoundLoopback(false, port);
    if (listener == ws::INVALID_SOCKET || ws::listen(listener, 1) != 0)
        throw std::runtime_error("ConnectLoopbackPair: cannot listen");
    const ws::SOCKET far = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage address{};
    const socklen_t len = ws::ToSockaddr(*ws::ParseIpLiteral("127.0.0.1"), port, address);
    const bool started = far != ws::INVALID_SOCKET &&
                         (ws::connect(far, reinterpret_cast<sockaddr*>(&address), len) == 0 || WouldBlock());
    ws::SOCKET near = ws::INVALID_SOCKET;
    for (const auto until = Clock::now() + 5s; started && near == ws::INVALID_SOCKET && Clock::now() < until;) {
        near = ws::accept(listener, nullptr, nullptr);
        if (near == ws::INVALID_SOCKET)
            WaitReady(listener, false);
    }
    ws::closesocket(listener);
    if (near == ws::INVALID_SOCKET) {
        ws::closesocket(far);
        throw std::runtime_error("ConnectLoopbackPair: no connection");
    }
    const int one = 1;
    ws::setsockopt(far, IPPROTO_TCP, kTcpNoDelay, &one, sizeof one);
    return {near, Link(far)};
}

std::uint16_t RefusingPort()
{
    std::uint16_t port = 0;
    const ws::SOCKET s = BoundLoopback(false, port);
    ws::closesocket(s);
    return port;
}

ws::SOCKET BoundLoopback(bool ipv6, std::uint16_t& port)
{
    const ws::SOCKET s = ws::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == ws::INVALID_SOCKET)
        return s;
    sockaddr_storage address{};
    ws::IpAddress loopback;
    loopback.family = ipv6 ? AF_INET6 : AF_INET;
    if (ipv6)
        loopback.bytes[15] = 1;
    else
        loopback.bytes = {127, 0, 0, 1};
    socklen_t len = ws::ToSockaddr(loopback, 0, address);
    if (ws::bind(s, reinterpret_cast<sockaddr*>(&address), len) != 0 ||
        ws::getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        ws::closesocket(s);
        return ws::INVALID_SOCKET;
    }
    port = ws::PortOf(address);
    return s;
}

// ---- Steps -------------------------------------------------------------------------------------

ScriptedPeer::Steps& ScriptedPeer::Steps::ReadRequest()
{
    steps_.push_back([](Link& c) { return c.ReadRequest(); });
    return *this;
}

ScriptedPeer::Steps& ScriptedPeer::Steps::Send(std::string bytes)
{
    steps_.push_back([bytes = std::move(bytes)](Link& c) { return c.Write(bytes); });
    return *this;
}

ScriptedPeer::Steps& ScriptedPeer::Steps::SendInPieces(std::string bytes, std::size_t pieceSize,
                                                       std::chrono::milliseconds gap)
{
    pieceSize = std::max<std::size_t>(pieceSize, 1);
    steps_.push_back([bytes = std::move(bytes), pieceSize, gap](Link& c) {
        for (std::size_t at = 0; at < bytes.size() && !c.Stopping(); at += pieceSize) {
            if (!c.Write(std::string_view(bytes).substr(at, pieceSize)))
                return false;
            c.ReadFor(gap);
        }
        return true;
    });
    return *this;
}

ScriptedPeer::Steps& ScriptedPeer::Steps::Wait(std::chrono::milliseconds duration)
{
    steps_.push_back([duration](Link& c) {
        c.ReadFor(duration);
        return !c.PeerClosed();
    });
    return *this;
}

ScriptedPeer::Steps& ScriptedPeer::Steps::Close()
{
    steps_.push_back([](Link&) { return false; });
    return *this;
}

ScriptedPeer::Steps& ScriptedPeer::Steps::Reset()
{
    steps_.push_back([](Link& c) {
        c.Reset();
        return false;
    });
    return *this;
}

ScriptedPeer::Steps& ScriptedPeer::Steps::Hold()
{
    steps_.push_back([](Link& c) {
        while (!c.PeerClosed() && !c.Stopping())
            c.ReadFor(1s);
        return false;
    });
    return *this;
}

void ScriptedPeer::Steps::Run(Link& link) const
{
    for (const auto& step : steps_)
        if (link.Stopping() || !step(link))
            break;
    if (link.Socket() == ws::INVALID_SOCKET)
        return;
    // Orderly close: say we are done, then record what the client still sends until it closes.
    link.Shutdown(1);
    link.WaitForClose(kCloseDrainLimit);
    link.Close();
}

// ---- ScriptedPeer ------------------------------------------------------------------------------

ScriptedPeer::ScriptedPeer(Options options)
{
    listener_ = BoundLoopback(options.ipv6, port_);
    if (listener_ != ws::INVALID_SOCKET && options.receiveBuffer > 0)
        ws::setsockopt(listener_, kSolSocket, kSoRcvBuf, &options.receiveBuffer, sizeof options.receiveBuffer);
    if (listener_ == ws::INVALID_SOCKET || ws::listen(listener_, 16) != 0)
        throw std::runtime_error("ScriptedPeer: cannot listen");
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::ScriptedPeer(Script script, int count) : ScriptedPeer(Options{})
{
    Serve(std::move(script), count);
}

ScriptedPeer::~ScriptedPeer()
{
    stopping_ = true;
    thread_.join();
    ws::closesocket(listener_);
}

ScriptedPeer::Steps& ScriptedPeer::Connection()
{
    std::lock_guard lock(mutex_);
    Steps& steps = steps_.emplace_back();
    scripts_.push_back([&steps](Link& link) { steps.Run(link); });
    return steps;
}

void ScriptedPeer::Serve(Script script, int count)
{
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count; ++i)
        scripts_.push_back(script);
}

void ScriptedPeer::RepeatLast(bool repeat)
{
    std::lock_guard lock(mutex_);
    repeatLast_ = repeat;
}

std::string ScriptedPeer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::size_t ScriptedPeer::Connections() const
{
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::size_t ScriptedPeer::Finished() const
{
    std::lock_guard lock(mutex_);
    return finished_;
}

std::string ScriptedPeer::Received(std::size_t index) const
{
    std::lock_guard lock(mutex_);
    return index < received_.size() ? received_[index] : std::string();
}

bool ScriptedPeer::WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

void ScriptedPeer::Join() const
{
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = scripts_.size();
    }
    WaitForFinished(count, 15s);
}

void ScriptedPeer::Echo(Link& link)
{
    for (std::string piece; !(piece = link.ReadSome(std::string::npos, 10s)).empty();)
        if (!link.Write(piece))
            return;
}

std::string ScriptedPeer::Response(int status, const std::string& reason, const std::string& body,
                                   const std::string& contentType)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void ScriptedPeer::Run()
{
    while (!stopping_) {
        const ws::SOCKET s = ws::accept(listener_, nullptr, nullptr);
        if (s == ws::INVALID_SOCKET) {
            WaitReady(listener_, false);
            continue;
        }
        ServeOne(s);
        {
            std::lock_guard lock(mutex_);
            ++finished_;
        }
        changed_.notify_all();
    }
}

void ScriptedPeer::ServeOne(ws::SOCKET socket)
{
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
    Link link(
        socket,
        [this, index](const char* data, std::size_t len) {
            std::lock_guard lock(mutex_);
            received_[index].append(data, len);
        },
        &stopping_);
    if (script)
        script(link);
    link.Close();
}

}  // namespace quenlo::test
