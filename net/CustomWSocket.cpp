#include "net/CustomWSocket.h"
#include "platform/Text.h"

#include <chrono>
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/SocketTypes.h"

namespace quenlo {

namespace ws = platform::ws;

namespace {

constexpr int kSolSocket = 0xFFFF;  // Windows option level SOL_SOCKET
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;
constexpr int kSoBroadcast = 0x0020;
constexpr int kSoLinger = 0x0080;
constexpr int kIpProtoTcp = 6;  // the same on both systems, as is its option TCP_NODELAY
constexpr int kTcpNoDelay = 1;

constexpr long kConnectEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;
constexpr long kListenEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CLOSE;
// How long a close that would block lets the loop run before it tries again.
constexpr std::chrono::milliseconds kCloseRetryPause(10);
constexpr long kSessionEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;

constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;
// The timer of a connection attempt that may give way to the next address, on the event target.
constexpr unsigned kAttemptTimer = 1;

// Errors after which the connection is gone: a send that meets one ends the session.
bool IsConnectionLost(int error)
{
    switch (error) {
    case ws::WSAECONNRESET:
    case ws::WSAENOTSOCK:
    case ws::WSAENOTCONN:
    case ws::WSAEINVAL:
    case ws::WSAECONNABORTED:
        return true;
    default:
        return false;
    }
}

}  // namespace

const char* to_string(TSocketState state) noexcept
{
    switch (state) {
    case wsInvalidState: return "wsInvalidState";
    case wsOpened: return "wsOpened";
    case wsBound: return "wsBound";
    case wsConnecting: return "wsConnecting";
    case wsConnected: return "wsConnected";
    case wsAccepting: return "wsAccepting";
    case wsListening: return "wsListening";
    case wsClosed: return "wsClosed";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------
// TBuffer

TBuffer::TBuffer(int capacity)
    : capacity_(capacity > 0 ? capacity : 1514)
{
    data_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(capacity_));
}

int TBuffer::Write(const void* source, int len)
{
    int room = capacity_ - writePos_;
    if (room <= 0 || len <= 0)
        return 0;
    int count = std::min(len, room);
    std::memcpy(data_.get() + writePos_, source, static_cast<std::size_t>(count));
    writePos_ += count;
    return count;
}

const char* TBuffer::Peek(int& len) const noexcept
{
    int waiting = writePos_ - readPos_;
    if (waiting <= 0) {
        len = 0;
        return nullptr;
    }
    len = waiting;
    return data_.get() + readPos_;
}

int TBuffer::Remove(int len) noexcept
{
    int waiting = writePos_ - readPos_;
    if (waiting <= 0 || len <= 0)
        return 0;
    int count = std::min(len, waiting);
    readPos_ += count;
    if (readPos_ == writePos_)
        readPos_ = writePos_ = 0;
    return count;
}

// ---------------------------------------------------------------------------------------------
// Construction

TCustomWSocket::TCustomWSocket(TComponent* owner)
    : TComponent(owner)
{
    window_ = platform::CreateMessageTarget(
        [this](platform::HWND, unsigned message, platform::WPARAM wParam, platform::LPARAM lParam) {
            return WindowProc(message, wParam, lParam);
        });
    SocketCreated();
    TCustomWSocket::ResetDefaults();
}

TCustomWSocket::~TCustomWSocket()
{
    MarkDestroying();
    try {
        CancelLookup();
    } catch (...) {
    }
    DropPendingLookup();
    if (state_ != wsClosed) {
        try {
            TCustomWSocket::Close();
        } catch (...) {
        }
    }
    CloseSocketHandle();
    SocketDestroyed();
    FreeSendQueue();
    platform::DestroyMessageTarget(window_);
}

platform::LRESULT TCustomWSocket::WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM lParam)
{
    TMessage msg{message, wParam, lParam, 0};
    DispatchNotification(msg);
    return msg.Result;
}

// ---------------------------------------------------------------------------------------------
// Properties

void TCustomWSocket::AssignConnectionText(const std::string& value, std::string& text, bool& assigned,
                                          bool& resolved, const char* refusal)
{
    if (assigned && value == text)
        return;
    if (state_ != wsClosed) {
        ReportError(refusal);
        return;
    }
    text = platform::TrimControls(value);
    assigned = !text.empty();
    if (assigned)
        resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& value)
{
    AssignConnectionText(value, addrText_, addrAssigned_, addrResolved_, "Cannot change Addr if not closed");
}

void TCustomWSocket::SetFallbackAddrs(std::vector<std::string> addresses)
{
    if (state_ != wsClosed) {
        ReportError("Cannot change Addr if not closed");
        return;
    }
    fallbackAddrs_ = std::move(addresses);
    addrResolved_ = false;
}

void TCustomWSocket::SetPort(const std::string& value)
{
    AssignConnectionText(value, portText_, portAssigned_, portResolved_, "Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string& value)
{
    AssignConnectionText(value, protoText_, protoAssigned_, protoResolved_, "Cannot change Proto if not closed");
}

void TCustomWSocket::SetLocalPort(const std::string& value)
{
    if (state_ != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    localPortText_ = value;
    localPortResolved_ = false;
}

TSocketSendFlags TCustomWSocket::SendFlags()
{
    switch (sendFlags_) {
    case 0: return wsSendNormal;
    case 1: return wsSendUrgent;
    default:
        ReportError("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value)
{
    switch (value) {
    case wsSendNormal: sendFlags_ = 0; return;
    case wsSendUrgent: sendFlags_ = 1; return;
    }
    ReportError("Invalid SendFlags");
}

void TCustomWSocket::SetLingerTimeout(int value) noexcept
{
    // The system record holds the seconds in 16 bits.
    lingerTimeout_ = std::clamp(value, 0, 65535);
}

std::string TCustomWSocket::PeerAddr()
{
    if (state_ != wsConnected)
        return "error";
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (ws::getpeername(hSocket_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    const auto address = ws::AddressOf(reinterpret_cast<const sockaddr*>(&peer), len);
    return address ? ws::IpText(*address) : "error";
}

std::string TCustomWSocket::PeerPort()
{
    if (state_ != wsConnected)
        return "error";
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (ws::getpeername(hSocket_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(ws::PortOf(peer));
}

int TCustomWSocket::RcvdCount()
{
    unsigned long count = 0;
    if (ws::ioctlsocket_FIONREAD(hSocket_, &count) == ws::SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(std::min<unsigned long>(count, 0x7FFFFFFF));
}

void TCustomWSocket::ResetDefaults()
{
    hSocket_ = ws::INVALID_SOCKET;
    addrAssigned_ = false;
    addrResolved_ = false;
    addressFamily_ = AF_INET;
    protoText_ = "tcp";
    protoNumber_ = 6;
    protoAssigned_ = true;
    protoResolved_ = false;
    portAssigned_ = false;
    portResolved_ = false;
    localPortText_ = "0";
    localPortResolved_ = false;
    socketType_ = SOCK_STREAM;
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    allSent_ = true;
    readCount_ = 0;
    paused_ = false;
    closedNotified_ = false;
    flushTimeout_ = 60;
    state_ = wsClosed;
    remote_ = sockaddr_in{};
    remote_.sin_family = AF_INET;
    remoteAddresses_.clear();
    fallbackAddrs_.clear();
    attempt_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Events

void TCustomWSocket::SetState(TSocketState newState)
{
    TSocketState oldState = state_;
    state_ = newState;
    TriggerChangeState(oldState, newState);
}

bool TCustomWSocket::TriggerDataAvailable(std::uint16_t error)
{
    if (!OnDataAvailable)
        return false;
    if (!Destroying())
        fire(OnDataAvailable, *this, error);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t error)
{
    if (!Destroying())
        fire(OnSessionAvailable, *this, error);
}

void TCustomWSocket::TriggerSessionConnected(std::uint16_t error)
{
    if (!Destroying())
        fire(OnSessionConnected, *this, error);
}

void TCustomWSocket::TriggerSessionClosed(std::uint16_t error)
{
    if (!Destroying())
        fire(OnSessionClosed, *this, error);
}

void TCustomWSocket::TriggerDataSent(std::uint16_t error)
{
    if (!Destroying())
        fire(OnDataSent, *this, error);
}

void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState)
{
    // Not while being destroyed: the owner whose handler this is may be half torn down.
    if (!Destroying())
        fire(OnChangeState, *this, oldState, newState);
}

void TCustomWSocket::TriggerDnsLookupDone(std::uint16_t error)
{
    if (!Destroying())
        fire(OnDnsLookupDone, *this, error);
}

void TCustomWSocket::TriggerError()
{
    if (!Destroying())
        fire(OnError, *this);
}

// ---------------------------------------------------------------------------------------------
// Errors

void TCustomWSocket::ReportError(const std::string& text)
{
    if (OnError) {
        TriggerError();
        return;
    }
    throw ESocketException(text);
}

namespace {

std::string SocketErrorText(int error, const std::string& functionName)
{
    return "Error " + std::to_string(error) + " in function " + functionName + "\r\n" + WSocketErrorText(error);
}

}  // namespace

void TCustomWSocket::ReportSocketError(const std::string& functionName)
{
    int error = ws::WSAGetLastError();
    std::string text = SocketErrorText(error, functionName);
    if (error == ws::WSAECONNRESET || error == ws::WSAENOTCONN) {
        // The connection is gone: close quietly (no OnSessionClosed).
        auto alive = LivenessToken();
        CloseSocketHandle();
        if (state_ != wsClosed)
            SetState(wsClosed);
        if (alive.expired())
            return;
    }
    lastError_ = error;
    ReportError(text);
}

void TCustomWSocket::HandleEventException(const std::exception& e)
{
    auto alive = LivenessToken();
    bool canClose = true;
    if (OnBgException && !Destroying()) {
        try {
            fire(OnBgException, *this, e, canClose);
        } catch (...) {
        }
        if (alive.expired())
            return;
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void TCustomWSocket::DispatchNotification(TMessage& msg)
{
    auto alive = LivenessToken();
    try {
        switch (msg.Msg) {
        case WM_SOCKET_EVENT:
            DispatchSocketEvent(msg);
            break;
        case WM_HOSTBYNAME_DONE:
            DispatchLookupDone(msg, false);
            break;
        case WM_HOSTBYADDR_DONE:
            DispatchLookupDone(msg, true);
            break;
        case platform::WM_TIMER:
            if (msg.WParam == kAttemptTimer)
                HandleAttemptTimer();
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        if (!alive.expired())
            HandleEventException(e);
    }
}

void TCustomWSocket::DispatchSocketEvent(const TMessage& msg)
{
    if (hSocket_ == ws::INVALID_SOCKET || msg.WParam != static_cast<platform::WPARAM>(hSocket_) || paused_)
        return;
    const unsigned events = ws::WSAGETSELECTEVENT(msg.LParam);
    const auto error = static_cast<std::uint16_t>(ws::WSAGETSELECTERROR(msg.LParam));
    // A handler may close, restart or destroy the socket; the remaining bits then belong to a
    // connection that no longer exists.
    const TConnectionMark connection(*this);

    if (events & ws::FD_CONNECT) {
        if (error != 0 && TryNextAddress())
            return;
        platform::KillTimer(eventTarget_, kAttemptTimer);
        SetState(wsConnected);
        if (!connection.Open())
            return;
        TriggerSessionConnected(error);
        if (!connection.SocketAlive())
            return;
        if (error != 0 && connection.Current() && state_ != wsClosed)
            Close();
        if (!connection.Open())
            return;
    }
    if (events & ws::FD_READ) {
        DeliverReceivedData(error);
        if (!connection.Open())
            return;
    }
    if (events & ws::FD_WRITE) {
        TryToSend();
        if (!connection.Open())
            return;
        if (allSent_) {
            TriggerDataSent(error);
            if (!connection.Open())
                return;
        }
    }
    if (events & ws::FD_ACCEPT) {
        TriggerSessionAvailable(error);
        if (!connection.Open())
            return;
    }
    if (events & ws::FD_CLOSE)
        HandleCloseBit(error);
}

void TCustomWSocket::HandleCloseBit(std::uint16_t error)
{
    if (state_ == wsConnecting)
        return;
    const TConnectionMark connection(*this);
    DeliverReceivedData(0);
    if (!connection.Current())
        return;
    if (OnSessionClosed && !closedNotified_) {
        closedNotified_ = true;
        TriggerSessionClosed(error);
        if (!connection.Current())
            return;
    }
    if (state_ != wsClosed)
        Close();
}

void TCustomWSocket::DeliverReceivedData(std::uint16_t error)
{
    const TConnectionMark connection(*this);
    knownWaiting_ = 0;
    for (;;) {
        lastError_ = 0;
        try {
            bool assigned = TriggerDataAvailable(error);
            if (!connection.Current())
                return;  // destroyed, or the handler started another connection
            if (!assigned) {
                // Nobody reads: drain and discard, so the connection does not stall.
                char scratch[1024];
                if (DoRecv(scratch, sizeof(scratch), 0) == ws::SOCKET_ERROR) {
                    lastError_ = ws::WSAGetLastError();
                    if (lastError_ == ws::WSAEWOULDBLOCK) {
                        lastError_ = 0;
                        break;
                    }
                }
            }
            // Paused means no delivery until Resume, even with bytes still waiting.
            if (lastError_ != 0 || hSocket_ == ws::INVALID_SOCKET || paused_)
                break;
            // Bytes counted by the last query and not read since are still there: no need to ask
            // the system again until they are used up (one query per several reads when data
            // streams in).
            if (knownWaiting_ > 0)
                continue;
            unsigned long count = 0;
            if (ws::ioctlsocket_FIONREAD(hSocket_, &count) == ws::SOCKET_ERROR) {
                lastError_ = ws::WSAGetLastError();
                break;
            }
            knownWaiting_ = count;
            if (count == 0)
                break;
        } catch (...) {
            // Exceptions of OnDataAvailable handlers end the delivery and go no further.
            if (!connection.SocketAlive())
                return;
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Name lookup

void TCustomWSocket::DnsLookup(const std::string& hostName)
{
    if (hostName.empty()) {
        RefuseLookup();
        return;
    }
    DropPendingLookup();
    dnsResult_.clear();
    dnsResultList_.clear();
    std::uint32_t address = ws::inet_addr(hostName);
    if (address != kAddressNone) {
        dnsResult_ = ws::inet_ntoa(address);
        TriggerDnsLookupDone(0);
        return;
    }
    if (const auto literal = ws::ParseIpLiteral(hostName)) {
        dnsResult_ = ws::IpText(*literal);
        TriggerDnsLookupDone(0);
        return;
    }
    StartLookup(hostName, false);
}

void TCustomWSocket::ReverseLookup(const std::string& hostAddr)
{
    if (hostAddr.empty()) {
        RefuseLookup();
        return;
    }
    DropPendingLookup();
    dnsResult_.clear();
    dnsResultList_.clear();
    StartLookup(hostAddr.substr(0, 255), true);
}

// The OnError handler may destroy the socket; the lookup's end is reported only to a live one.
void TCustomWSocket::RefuseLookup()
{
    auto alive = LivenessToken();
    ReportError("DNS lookup: invalid host name.");
    if (!alive.expired())
        TriggerDnsLookupDone(ws::WSAEINVAL);
}

void TCustomWSocket::StartLookup(const std::string& text, bool reverse)
{
    lookupRequest_ = reverse ? ws::WSAAsyncGetHostByAddr(window_, WM_HOSTBYADDR_DONE, ws::inet_addr(text))
                             : ws::WSAAsyncGetHostByName(window_, WM_HOSTBYNAME_DONE, text);
    if (lookupRequest_ == 0)
        ReportError(text + ": can't start DNS lookup, error #" + std::to_string(ws::WSAGetLastError()));
}

void TCustomWSocket::DispatchLookupDone(const TMessage& msg, bool reverse)
{
    if (lookupRequest_ == 0 || msg.WParam != lookupRequest_)
        return;  // a cancelled or superseded request
    const ws::HANDLE request = lookupRequest_;
    lookupRequest_ = 0;
    auto error = static_cast<std::uint16_t>(ws::WSAGETSELECTERROR(msg.LParam));
    std::optional<ws::HostEntry> entry = ws::WSATakeHostResult(request);
    if (error == 0) {
        if (!entry) {
            error = ws::WSANO_DATA;
        } else if (reverse) {
            dnsResult_ = entry->officialName;
            if (dnsResult_.empty())
                error = ws::WSANO_DATA;  // an address without a name is no success either
            else
                dnsResultList_.push_back(dnsResult_);
        } else {
            CollectAddressList(*entry, dnsResultList_);
            if (dnsResultList_.empty())
                error = ws::WSANO_DATA;  // a name without an address is no success
            else
                dnsResult_ = dnsResultList_.front();
        }
    }
    TriggerDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup()
{
    if (lookupRequest_ == 0)
        return;
    if (ws::WSACancelAsyncRequest(lookupRequest_) == ws::SOCKET_ERROR) {
        lookupRequest_ = 0;
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    lookupRequest_ = 0;
    if (!Destroying())
        TriggerDnsLookupDone(ws::WSAEINTR);
}

void TCustomWSocket::DropPendingLookup() noexcept
{
    if (lookupRequest_ == 0)
        return;
    ws::WSACancelAsyncRequest(lookupRequest_);
    lookupRequest_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Connecting

void TCustomWSocket::ResolveForConnect()
{
    if (!protoResolved_) {
        protoNumber_ = WSocketResolveProto(protoText_);
        socketType_ = protoNumber_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
        protoResolved_ = true;
    }
    if (!portResolved_) {
        portNumber_ = WSocketResolvePort(portText_, protoText_);
        remote_.sin_port = htons(portNumber_);
        portResolved_ = true;
    }
    if (!localPortResolved_) {
        localPortNumber_ = WSocketResolvePort(localPortText_, protoText_);
        localPortResolved_ = true;
    }
    if (!addrResolved_) {
        std::vector<ws::IpAddress> addresses = WSocketResolveHostAll(addrText_);
        for (const std::string& text : fallbackAddrs_)
            if (const auto literal = ws::ParseIpLiteral(text))
                addresses.push_back(*literal);
        SetRemoteAddresses(std::move(addresses));
    }
    remote_.sin_family = AF_INET;
    if (socketType_ == SOCK_DGRAM && remoteAddresses_.front().family != AF_INET)
        throw ESocketException("datagram sockets are IPv4 only");
}

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
        ResolveForConnect();
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
    if (ws::connect(hSocket_, reinterpret_cast<const sockaddr*>(&target), targetLen) == 0 ||
        ws::WSAGetLastError() == ws::WSAEWOULDBLOCK) {
        // Only an attempt that another address could replace has a limit of its own.
        if (attempt_ + 1 < remoteAddresses_.size() && attemptTimeout_.count() > 0)
            platform::SetTimer(eventTarget_, kAttemptTimer,
                               static_cast<unsigned>(std::min<long long>(attemptTimeout_.count(), 0x7FFFFFFF)));
        if (first)
            SetState(wsConnecting);
        return;
    }
    lastError_ = ws::WSAGetLastError();
    if (!first && TryNextAddress())
        return;
    ReportSocketError("Connect");
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

// ---------------------------------------------------------------------------------------------
// Waiting and pumping

void TCustomWSocket::Flush()
{
    auto alive = LivenessToken();
    const auto drained = [&] { return alive.expired() || hSocket_ == ws::INVALID_SOCKET || allSent_; };
    if (drained())
        return;
    TryToSend();
    // The rest goes out from the write notifications dispatched inside the wait.
    if (!drained())
        WaitFor(drained);
}

void TCustomWSocket::WaitUntilClosed()
{
    auto alive = LivenessToken();
    // Arriving data and the peer's close are handled by the dispatch of their notifications.
    WaitFor([&] { return alive.expired() || hSocket_ == ws::INVALID_SOCKET || state_ == wsClosed; });
}

platform::WaitEnd TCustomWSocket::WaitFor(const std::function<bool()>& done, platform::WaitClock::time_point deadline)
{
    if (multiThreaded_ && threadTerminated_)
        return done() ? platform::WaitEnd::Done : platform::WaitEnd::Quit;
    auto alive = LivenessToken();
    const platform::WaitEnd end = platform::WaitUntil(done, deadline);
    // A worker thread has no outer loop to hand the quit to: it is taken here and remembered.
    if (end == platform::WaitEnd::Quit && multiThreaded_ && !alive.expired())
        DrainThreadQueue();
    return end;
}

void TCustomWSocket::PumpMessages()
{
    if (multiThreaded_)
        DrainThreadMessages();
    else
        platform::ProcessPendingMessages();
}

void TCustomWSocket::DrainThreadMessages()
{
    DrainThreadQueue();
}

std::size_t TCustomWSocket::DrainThreadQueue()
{
    auto alive = LivenessToken();
    std::size_t taken = 0;
    platform::MSG msg;
    while (platform::PeekMessage(msg)) {
        ++taken;
        if (msg.message == platform::WM_QUIT) {
            if (!alive.expired())
                threadTerminated_ = true;
            continue;
        }
        platform::DispatchMessage(msg);
    }
    return taken;
}

// ---------------------------------------------------------------------------------------------
// Server side

void TCustomWSocket::Listen()
{
    if (!portAssigned_) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!protoAssigned_) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!addrAssigned_) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    try {
        if (!protoResolved_) {
            protoNumber_ = WSocketResolveProto(protoText_);
            socketType_ = protoNumber_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            protoResolved_ = true;
        }
        if (!portResolved_) {
            portNumber_ = WSocketResolvePort(portText_, protoText_);
            remote_.sin_port = htons(portNumber_);
            portResolved_ = true;
        }
        if (!addrResolved_) {
            remote_.sin_addr.s_addr = WSocketResolveHost(addrText_);
            addrResolved_ = true;
        }
        remote_.sin_family = AF_INET;
    } catch (const std::exception& e) {
        ReportError(std::string("listen: ") + e.what());
        return;
    }

    FreeSendQueue();
    CloseSocketHandle();
    hSocket_ = ws::socket(addressFamily_, socketType_, protoNumber_);
    if (hSocket_ == ws::INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    BeginConnection();
    const TConnectionMark connection(*this);

    SetState(wsOpened);
    if (!connection.Open())
        return;
    if (ws::bind(hSocket_, reinterpret_cast<const sockaddr*>(&remote_), sizeof(remote_)) != 0) {
        // Close before reporting, so that a thrown report does not leave the handle open.
        int error = ws::WSAGetLastError();
        if (OnError) {
            ReportSocketError("Bind");
            if (connection.Open())
                Close();
        } else {
            Close();
            ws::WSASetLastError(error);
            ReportSocketError("Bind");
        }
        return;
    }
    SetState(wsBound);
    if (!connection.Open())
        return;
    if (socketType_ == SOCK_DGRAM) {
        SetState(wsListening);
        if (!connection.Open())
            return;
        SetState(wsConnected);
        if (!connection.Open())
            return;
        TriggerSessionConnected(0);
        if (!connection.Open())
            return;
    } else {
        if (ws::listen(hSocket_, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        SetState(wsListening);
        if (!connection.Open())
            return;
    }
    if (!RegisterNotifications(kListenEvents))
        ReportSocketError("WSAASyncSelect");
}

ws::SOCKET TCustomWSocket::Accept()
{
    if (state_ != wsListening) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return ws::INVALID_SOCKET;
    }
    socklen_t len = sizeof(remote_);
    acceptedHandle_ = ws::accept(hSocket_, reinterpret_cast<sockaddr*>(&remote_), &len);
    if (acceptedHandle_ == ws::INVALID_SOCKET) {
        const int error = ws::WSAGetLastError();
        if (error == ws::WSAECONNRESET) {
            // The waiting connection's reset (Windows reports one that ended before it was taken
            // so), not this socket's: the listening socket stays open.
            lastError_ = error;
            ReportError(SocketErrorText(error, "Accept"));
        } else {
            ReportSocketError("Accept");
        }
    }
    return acceptedHandle_;
}

void TCustomWSocket::Dup(ws::SOCKET newHandle)
{
    // Descriptor 0 is a valid socket on POSIX; only the invalid handle is refused.
    if (newHandle == ws::INVALID_SOCKET || std::cmp_less(newHandle, 0)) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    auto alive = LivenessToken();
    if (state_ != wsClosed) {
        if (hSocket_ != ws::INVALID_SOCKET && ws::closesocket(hSocket_) == ws::SOCKET_ERROR) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        hSocket_ = ws::INVALID_SOCKET;
        DestroyEventTarget();
        SetState(wsClosed);
        if (alive.expired())
            return;
    }
    CloseSocketHandle();
    hSocket_ = newHandle;
    BeginConnection();
    ApplyLinger();
    if (alive.expired())
        return;  // destroyed by an OnError handler
    if (!RegisterNotifications(kSessionEvents)) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    SetState(wsConnected);
}

void TCustomWSocket::Pause()
{
    paused_ = true;
    if (hSocket_ != ws::INVALID_SOCKET)
        ws::WSAAsyncSelect(hSocket_, eventTarget_, 0, 0);
}

void TCustomWSocket::Resume()
{
    paused_ = false;
    if (hSocket_ != ws::INVALID_SOCKET)
        ws::WSAAsyncSelect(hSocket_, eventTarget_, WM_SOCKET_EVENT, kSessionEvents);
}

// ---------------------------------------------------------------------------------------------
// Receiving

int TCustomWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    int result = ws::recv(hSocket_, buffer, bufferSize, flags);
    if (result > 0 && !(flags & MSG_PEEK))
        knownWaiting_ = knownWaiting_ > static_cast<unsigned long>(result) ? knownWaiting_ - result : 0;
    else if (result <= 0)
        knownWaiting_ = 0;
    return result;
}

int TCustomWSocket::DoRecvFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen)
{
    socklen_t len = fromLen > 0 ? static_cast<socklen_t>(fromLen) : 0;
    int result = ws::recvfrom(hSocket_, buffer, bufferSize, 0, reinterpret_cast<sockaddr*>(&from), &len);
    fromLen = static_cast<int>(len);
    return result;
}

int TCustomWSocket::Receive(void* buffer, int bufferSize)
{
    int result = DoRecv(buffer, bufferSize, 0);
    if (result >= 0)
        readCount_ += result;
    else
        lastError_ = ws::WSAGetLastError();
    return result;
}

std::string TCustomWSocket::ReceiveText()
{
    if (hSocket_ == ws::INVALID_SOCKET)
        return {};
    unsigned long count = 0;
    if (ws::ioctlsocket_FIONREAD(hSocket_, &count) == ws::SOCKET_ERROR || count == 0)
        return {};
    std::string text(std::min<unsigned long>(count, 0x7FFFFFFF), '\0');
    int n = DoRecv(text.data(), static_cast<int>(text.size()), 0);
    if (n <= 0)
        return {};
    text.resize(static_cast<std::size_t>(n));
    return text;
}

int TCustomWSocket::ReceiveFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen)
{
    int result = DoRecvFrom(buffer, bufferSize, from, fromLen);
    if (result >= 0)
        readCount_ += result;
    else
        lastError_ = ws::WSAGetLastError();
    return result;
}

// ---------------------------------------------------------------------------------------------
// Sending

void TCustomWSocket::QueueSendData(const void* data, int len)
{
    if (len <= 0)
        return;
    if (sendQueue_.empty())
        sendQueue_.emplace_back(sendBlockSize_);
    const char* bytes = static_cast<const char*>(data);
    int written = sendQueue_.back().Write(bytes, len);
    while (written < len) {
        sendQueue_.emplace_back(sendBlockSize_);
        written += sendQueue_.back().Write(bytes + written, len - written);
    }
}

void TCustomWSocket::FreeSendQueue() noexcept
{
    sendQueue_.clear();
}

int TCustomWSocket::RealSend(const void* data, int len)
{
    if (socketType_ == SOCK_DGRAM)
        return ws::sendto(hSocket_, data, len, sendFlags_, reinterpret_cast<const sockaddr*>(&remote_),
                          sizeof(remote_));
    return ws::send(hSocket_, data, len, sendFlags_);
}

void TCustomWSocket::TryToSend()
{
    if (hSocket_ == ws::INVALID_SOCKET)
        return;
    if (sendQueue_.empty()) {
        // Nothing queued is everything sent (keeps Flush from waiting for a drain that cannot come).
        allSent_ = true;
        return;
    }
    auto alive = LivenessToken();
    for (;;) {
        TBuffer& block = sendQueue_.front();
        int waiting = 0;
        const char* bytes = block.Peek(waiting);
        if (waiting <= 0) {
            if (sendQueue_.size() > 1) {
                sendQueue_.pop_front();
                continue;
            }
            allSent_ = true;  // the emptied block stays for reuse
            return;
        }
        int sent = RealSend(bytes, waiting);
        if (sent == 0)
            return;
        if (sent < 0) {
            int error = ws::WSAGetLastError();
            if (error == ws::WSAEWOULDBLOCK)
                return;  // the rest goes on the next write notification
            if (IsConnectionLost(error)) {
                const bool alreadyNotified = closedNotified_;
                closedNotified_ = true;  // so that Close does not report the end itself
                Close();
                if (alive.expired())
                    return;
                if (!alreadyNotified)
                    TriggerSessionClosed(static_cast<std::uint16_t>(error));
                return;
            }
            ws::WSASetLastError(error);
            ReportSocketError("TryToSend failed");
            return;
        }
        // A partial send is not a refusal, and only a refusal (10035) brings a later write
        // notification: keep going until the system refuses or the queue is empty, so the rest
        // is never left waiting for a notification that will not come.
        block.Remove(sent);
    }
}

int TCustomWSocket::Send(const void* data, int len)
{
    if (state_ != wsConnected) {
        ws::WSASetLastError(ws::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    allSent_ = false;
    int result = 0;
    if (len > 0) {
        QueueSendData(data, len);
        result = len;
    }
    auto alive = LivenessToken();
    TryToSend();
    if (alive.expired())
        return result;
    if (allSent_ && eventTarget_ != 0 && hSocket_ != ws::INVALID_SOCKET) {
        // OnDataSent must come from the event loop, never from inside Send.
        platform::PostMessage(eventTarget_, WM_SOCKET_EVENT, static_cast<platform::WPARAM>(hSocket_),
                              ws::WSAMAKESELECTREPLY(ws::FD_WRITE, 0));
    }
    return result;
}

int TCustomWSocket::SendText(const std::string& str)
{
    return Send(str.data(), static_cast<int>(std::min<std::size_t>(str.size(), 0x7FFFFFFF)));
}

int TCustomWSocket::SendTo(const sockaddr_in& dest, int destLen, const void* data, int len)
{
    return ws::sendto(hSocket_, data, len, sendFlags_, reinterpret_cast<const sockaddr*>(&dest),
                      static_cast<socklen_t>(destLen));
}

// ---------------------------------------------------------------------------------------------
// Queries

int TCustomWSocket::GetPeerName(sockaddr_in& name, int nameLen)
{
    if (state_ != wsConnected)
        return -1;
    socklen_t len = nameLen > 0 ? static_cast<socklen_t>(nameLen) : 0;
    return ws::getpeername(hSocket_, reinterpret_cast<sockaddr*>(&name), &len);
}

std::string TCustomWSocket::GetLocalPortText()
{
    if (state_ != wsBound && state_ != wsConnected && state_ != wsListening)
        return "error";
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    if (ws::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return "error";
    return std::to_string(ntohs(local.sin_port));
}

int TCustomWSocket::GetSockName(sockaddr_in& name, int& nameLen)
{
    if (hSocket_ == ws::INVALID_SOCKET)
        return -1;
    socklen_t len = nameLen > 0 ? static_cast<socklen_t>(nameLen) : 0;
    int result = ws::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&name), &len);
    nameLen = static_cast<int>(len);
    return result;
}

}  // namespace quenlo
