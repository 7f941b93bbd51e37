// TCustomWSocket: connecting (every address of the host in turn), the stream options, closing.
#include "net/CustomWSocket.h"
#include "net/CustomWSocketDetail.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/SocketTypes.h"

namespace quenlo {

namespace ws = platform::ws;
using namespace wsocket_detail;

namespace {

constexpr int kSolSocket = 0xFFFF;  // Windows option level SOL_SOCKET
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;
constexpr int kSoBroadcast = 0x0020;
constexpr int kSoLinger = 0x0080;
constexpr int kIpProtoTcp = 6;  // the same on both systems, as is its option TCP_NODELAY
constexpr int kTcpNoDelay = 1;

constexpr long kConnectEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;
// How long a close that would block lets the loop run before it tries again.
constexpr std::chrono::milliseconds kCloseRetryPause(10);

}  // namespace

// ---------------------------------------------------------------------------------------------
// Connecting

void TCustomWSocket::SetRemoteAddresses(std::vector<ws::IpAddress> addresses)
{
    remoteAddresses_ = std::move(addresses);
    // Datagram sends and the broadcast test read the IPv4 record.
    if (!remoteAddresses_.empty() && remoteAddresses_.front().family == AF_INET)
        std::memcpy(&remote_.sin_addr, remoteAddresses_.front().bytes.data(), 4);
    addrResolved_ = !remoteAddresses_.empty();
}

bool TCustomWSocket::RegisterNotifications(long events)
{
    return ws::WSAAsyncSelect(hSocket_, eventTarget_, WM_SOCKET_EVENT, events) == 0;
}

void TCustomWSocket::Connect()
{
    if (hSocket_ != ws::INVALID_SOCKET && state_ != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    try {
        ResolveEndpoint(true);
        if (SocketType() == SOCK_DGRAM && remoteAddresses_.front().family != AF_INET)
            throw ESocketException("datagram sockets are IPv4 only");
    } catch (const std::exception& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }

    FreeSendQueue();
    attempt_ = 0;
    OpenAttempt(true);
}

void TCustomWSocket::OpenAttempt(bool first)
{
    CloseSocketHandle();  // the previous attempt's, or one left by a failed set-up
    addressFamily_ = remoteAddresses_[attempt_].family;
    hSocket_ = ws::socket(addressFamily_, socketType_, protoNumber_);
    if (hSocket_ == ws::INVALID_SOCKET) {
        if (!first && TryNextAddress())
            return;
        ReportSocketError("Connect (socket)");
        return;
    }
    BeginConnection();
    const TConnectionMark connection(*this);

    if (first) {
        SetState(wsOpened);
        if (!connection.Open())
            return;
    }

    // Every report below may have run an OnError handler that destroyed or reused the socket.
    if (socketType_ == SOCK_DGRAM) {
        BindLocal();
        if (!connection.Open())
            return;
        if (remote_.sin_addr.s_addr == kAddressNone) {
            int on = 1;
            if (ws::setsockopt(hSocket_, kSolSocket, kSoBroadcast, &on, sizeof(on)) == ws::SOCKET_ERROR) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else if (!SetStreamOptions()) {
        return;
    }
    if (!RegisterNotifications(kConnectEvents)) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (socketType_ == SOCK_DGRAM) {
        SetState(wsConnected);
        if (connection.Open())
            TriggerSessionConnected(0);
        return;
    }

    sockaddr_storage target{};
    const socklen_t targetLen = ws::ToSockaddr(remoteAddresses_[attempt_], ntohs(remote_.sin_port), target);
    // The error is read once, right after the call, and reported as read. A failure without an
    // error code (wine's connect has given one on a loaded machine, for a loopback connect that the
    // peer was ready to take) is waited for like one in progress: a registered socket's connect
    // always ends with FD_CONNECT, and the no-progress limit bounds the wait if it never comes.
    const int error = ws::connect(hSocket_, reinterpret_cast<const sockaddr*>(&target), targetLen) == 0
                          ? 0
                          : ws::WSAGetLastError();
    if (error == 0 || error == ws::WSAEWOULDBLOCK) {
        // Only an attempt that another address could replace has a limit of its own.
        if (attempt_ + 1 < remoteAddresses_.size() && attemptTimeout_.count() > 0)
            platform::SetTimer(eventTarget_, kAttemptTimer,
                               static_cast<unsigned>(std::min<long long>(attemptTimeout_.count(), 0x7FFFFFFF)));
        if (first)
            SetState(wsConnecting);
        return;
    }
    lastError_ = error;
    if (!first && TryNextAddress())
        return;
    ReportSocketError("Connect", error);
}

// Binds the local port when one is set, then the linger, keep-alive and reuse options; false
// (after a report) when the set-up is to end here.
bool TCustomWSocket::SetStreamOptions()
{
    const TConnectionMark connection(*this);
    if (localPortNumber_ != 0)
        BindLocal();
    if (!connection.Open())
        return false;
    ApplyLinger();
    if (!connection.Open())
        return false;
    int on = -1;
    if (ws::setsockopt(hSocket_, kSolSocket, kSoKeepAlive, &on, sizeof(on)) == ws::SOCKET_ERROR) {
        ReportSocketError("setsockopt(SO_KEEPALIVE)");
        return false;
    }
    if (ws::setsockopt(hSocket_, kSolSocket, kSoReuseAddr, &on, sizeof(on)) == ws::SOCKET_ERROR) {
        ReportSocketError("setsockopt(SO_REUSEADDR)");
        return false;
    }
    return true;
}

bool TCustomWSocket::TryNextAddress()
{
    if (socketType_ != SOCK_STREAM || attempt_ + 1 >= remoteAddresses_.size())
        return false;
    ++attempt_;
    OpenAttempt(false);
    return true;
}

void TCustomWSocket::HandleAttemptTimer()
{
    platform::KillTimer(eventTarget_, kAttemptTimer);
    if (state_ == wsConnecting && hSocket_ != ws::INVALID_SOCKET)
        TryNextAddress();
}

void TCustomWSocket::BindLocal()
{
    ws::IpAddress any;  // all zero: the wildcard of either family
    any.family = addressFamily_;
    sockaddr_storage local{};
    const socklen_t localLen = ws::ToSockaddr(any, localPortNumber_, local);
    if (ws::bind(hSocket_, reinterpret_cast<const sockaddr*>(&local), localLen) != 0) {
        ReportError("winsock.bind failed, error #" + std::to_string(ws::WSAGetLastError()));
        return;
    }
    socklen_t len = sizeof(local);
    if (ws::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        ReportError("winsock.getsockname failed, error #" + std::to_string(ws::WSAGetLastError()));
        return;
    }
    localPortNumber_ = ws::PortOf(local);
    localPortText_ = std::to_string(localPortNumber_);
}

void TCustomWSocket::SendWithoutDelay() noexcept
{
    if (hSocket_ == ws::INVALID_SOCKET)
        return;
    int on = 1;
    ws::setsockopt(hSocket_, kIpProtoTcp, kTcpNoDelay, &on, sizeof(on));
}

void TCustomWSocket::ApplyLinger()
{
    if (lingerOnOff_ == wsLingerNoSet)
        return;
    if (hSocket_ == ws::INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    // Two 16-bit fields: on/off, then the time-out in seconds. On with no time at all would make
    // every close a reset that throws away bytes already reported as sent; the system's own
    // graceful close delivers them, and a reset is what Abort is for.
    const bool on = lingerOnOff_ == wsLingerOn && lingerTimeout_ > 0;
    std::uint16_t linger[2] = {static_cast<std::uint16_t>(on ? 1 : 0),
                               static_cast<std::uint16_t>(lingerTimeout_)};
    if (ws::setsockopt(hSocket_, kSolSocket, kSoLinger, linger, sizeof(linger)) == ws::SOCKET_ERROR)
        ReportSocketError("setsockopt(SO_LINGER)");
}

// ---------------------------------------------------------------------------------------------
// Closing

void TCustomWSocket::Close()
{
    DoClose(true, 0);
}

void TCustomWSocket::Abort()
{
    auto alive = LivenessToken();
    CancelLookup();
    if (alive.expired())
        return;
    FreeSendQueue();
    if (state_ == wsConnected && protoNumber_ == IPPROTO_TCP) {
        lingerOnOff_ = wsLingerOff;
        ApplyLinger();
    }
    DoClose(false, 0);
}

void TCustomWSocket::DoClose(bool shut, std::uint16_t error)
{
    auto alive = LivenessToken();
    if (hSocket_ == ws::INVALID_SOCKET) {
        if (state_ != wsClosed) {
            SetState(wsClosed);
            if (alive.expired())
                return;
            ResetDefaults();
        }
        return;
    }
    if (state_ == wsClosed)
        return;
    if (shut)
        Shutdown(1);

    const ws::SOCKET handle = hSocket_;
    while (ws::closesocket(handle) == ws::SOCKET_ERROR) {
        lastError_ = ws::WSAGetLastError();
        if (lastError_ == ws::WSANOTINITIALISED)
            break;
        if (lastError_ != ws::WSAEWOULDBLOCK) {
            ReportSocketError("Disconnect (closesocket)");
            return;
        }
        // A lingering close that cannot finish yet: let the loop run a moment and try again.
        const auto closedMeanwhile = [&] { return alive.expired() || hSocket_ != handle; };
        const auto end = WaitFor(closedMeanwhile, platform::WaitClock::now() + kCloseRetryPause);
        if (closedMeanwhile())
            return;  // closed meanwhile by a handler
        if (end == platform::WaitEnd::Quit)
            HardenClose(handle);  // the program is ending: do not wait for the linger
    }
    hSocket_ = ws::INVALID_SOCKET;
    DestroyEventTarget();

    const TConnectionMark connection(*this);
    SetState(wsClosed);
    if (!connection.Current())
        return;
    if (!Destroying() && !closedNotified_ && OnSessionClosed) {
        closedNotified_ = true;
        TriggerSessionClosed(error);
        if (!connection.Current())
            return;  // destroyed, or a new connection was started by the handler
    }
    try {
        ResetDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::HardenClose(ws::SOCKET handle) noexcept
{
    std::uint16_t linger[2] = {1, 0};
    ws::setsockopt(handle, kSolSocket, kSoLinger, linger, sizeof(linger));
}

void TCustomWSocket::Shutdown(int how)
{
    if (hSocket_ != ws::INVALID_SOCKET)
        ws::shutdown(hSocket_, how);
}

void TCustomWSocket::CloseSocketHandle() noexcept
{
    if (hSocket_ != ws::INVALID_SOCKET) {
        ws::closesocket(hSocket_);
        hSocket_ = ws::INVALID_SOCKET;
    }
    DestroyEventTarget();
}

// Every handle gets a new generation and its own event target, so notifications still queued for
// an earlier connection die with its target and never reach this one.
void TCustomWSocket::BeginConnection()
{
    ++generation_;
    closedNotified_ = false;
    readCount_ = 0;  // also when the connection is started inside the old one's close handler
    eventTarget_ = platform::CreateMessageTarget(
        [this](platform::HWND, unsigned message, platform::WPARAM wParam, platform::LPARAM lParam) {
            return WindowProc(message, wParam, lParam);
        });
}

void TCustomWSocket::DestroyEventTarget() noexcept
{
    if (eventTarget_ != 0) {
        platform::DestroyMessageTarget(eventTarget_);
        eventTarget_ = 0;
    }
}

}  // namespace quenlo
