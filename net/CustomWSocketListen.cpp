// TCustomWSocket: the server side (listen, accept, adopting an accepted handle).
#include "net/CustomWSocket.h"
#include "net/CustomWSocketDetail.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/SocketTypes.h"

namespace quenlo {

namespace ws = platform::ws;
using namespace wsocket_detail;

namespace {

constexpr long kListenEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CLOSE;
// Connections the system completes before we take them: a burst of clients (a flood of idle ones
// among them) must not leave a real one's handshake dropped and retried for seconds.
constexpr int kBacklog = 128;

}  // namespace

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
    ws::IpAddress local;
    try {
        ResolveEndpoint(false);
        local = ListenAddress();
    } catch (const std::exception& e) {
        ReportError(std::string("listen: ") + e.what());
        return;
    }

    if (local.family == AF_INET)
        std::memcpy(&remote_.sin_addr, local.bytes.data(), 4);  // a datagram socket sends from it
    FreeSendQueue();
    CloseSocketHandle();
    addressFamily_ = local.family;
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
    sockaddr_storage bound{};
    const socklen_t boundLen = ws::ToSockaddr(local, portNumber_, bound);
    if (ws::bind(hSocket_, reinterpret_cast<const sockaddr*>(&bound), boundLen) != 0) {
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
        if (ws::listen(hSocket_, kBacklog) != 0) {
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

// A name with both kinds of address listens on IPv4, as it always has, so that IPv4 clients of
// such a server keep reaching it; IPv6 is taken where the host has nothing else.
ws::IpAddress TCustomWSocket::ListenAddress() const
{
    const auto ipv4 = std::ranges::find(remoteAddresses_, AF_INET, &ws::IpAddress::family);
    if (ipv4 != remoteAddresses_.end())
        return *ipv4;
    if (socketType_ == SOCK_DGRAM)
        throw ESocketException("datagram sockets are IPv4 only");
    return remoteAddresses_.front();
}

ws::SOCKET TCustomWSocket::Accept()
{
    if (state_ != wsListening) {
        ws::WSASetLastError(ws::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return ws::INVALID_SOCKET;
    }
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    acceptedHandle_ = ws::accept(hSocket_, reinterpret_cast<sockaddr*>(&peer), &len);
    if (peer.ss_family == AF_INET)
        std::memcpy(&remote_, &peer, sizeof(remote_));
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

}  // namespace quenlo
