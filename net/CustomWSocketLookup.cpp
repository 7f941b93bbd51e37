// TCustomWSocket: the endpoint of Connect and Listen (protocol, port, addresses), and the
// asynchronous name lookups (DnsLookup, ReverseLookup).
#include "net/CustomWSocket.h"
#include "net/CustomWSocketDetail.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/SocketTypes.h"

namespace quenlo {

namespace ws = platform::ws;
using namespace wsocket_detail;

// ---------------------------------------------------------------------------------------------
// Endpoint

// Each text is resolved once until it changes. The local port and the fallback addresses are
// only a connection's: a listening socket binds the port it is given, at one address.
void TCustomWSocket::ResolveEndpoint(bool connecting)
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
    if (connecting && !localPortResolved_) {
        localPortNumber_ = WSocketResolvePort(localPortText_, protoText_);
        localPortResolved_ = true;
    }
    if (!addrResolved_) {
        std::vector<ws::IpAddress> addresses = WSocketResolveHostAll(addrText_);
        if (connecting)
            for (const std::string& text : fallbackAddrs_)
                if (const auto literal = ws::ParseIpLiteral(text))
                    addresses.push_back(*literal);
        SetRemoteAddresses(std::move(addresses));
    }
    remote_.sin_family = AF_INET;
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

}  // namespace quenlo
