// TCustomWSocket: construction, properties, events, error reports, dispatch of notifications,
// waiting and queries. Connecting, listening, the stream and the lookups have files of their own.
#include "net/CustomWSocket.h"
#include "net/CustomWSocketDetail.h"
#include "platform/Text.h"

#include <algorithm>
#include <exception>
#include <string>

#include "platform/SocketTypes.h"

namespace quenlo {

namespace ws = platform::ws;
using namespace wsocket_detail;

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

std::string wsocket_detail::SocketErrorText(int error, const std::string& functionName)
{
    return "Error " + std::to_string(error) + " in function " + functionName + "\r\n" + WSocketErrorText(error);
}

void TCustomWSocket::ReportSocketError(const std::string& functionName)
{
    ReportSocketError(functionName, ws::WSAGetLastError());
}

void TCustomWSocket::ReportSocketError(const std::string& functionName, int error)
{
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
    sockaddr_storage local{};
    socklen_t len = sizeof(local);
    if (ws::getsockname(hSocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return "error";
    return std::to_string(ws::PortOf(local));
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
