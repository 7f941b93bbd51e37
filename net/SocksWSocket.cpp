#include "net/SocksWSocket.h"

#include <algorithm>
#include <cctype>

namespace quenlo {

namespace {

std::string Trim(const std::string& text)
{
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    auto first = std::find_if_not(text.begin(), text.end(), isBlank);
    auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner)
    : TCustomWSocket(owner)
{
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value)
{
    if (State() != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    socksServer_ = Trim(value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value)
{
    if (State() != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    socksPort_ = Trim(value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value)
{
    if (State() != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (value != "4" && value != "5" && value != "4A" && value != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    socksLevel_ = value;
    std::transform(socksLevel_.begin(), socksLevel_.end(), socksLevel_.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
}

void TCustomSocksWSocket::ResetDefaults()
{
    TCustomWSocket::ResetDefaults();
    socksServer_.clear();
    socksPort_.clear();
    socksLevel_.assign(1, '5');  // (a literal assignment trips a false -Wrestrict in GCC 12)
}

void TCustomSocksWSocket::Connect()
{
    if (!socksServer_.empty()) {
        // Connecting directly instead would bypass the proxy the caller asked for.
        ReportError("SOCKS proxy connections are not supported yet");
        return;
    }
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen()
{
    if (!socksServer_.empty()) {
        ReportError("listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

int TCustomSocksWSocket::RcvdCount()
{
    return TCustomWSocket::RcvdCount();
}

void TCustomSocksWSocket::TriggerSessionConnected(std::uint16_t error)
{
    TCustomWSocket::TriggerSessionConnected(error);
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t error)
{
    TCustomWSocket::TriggerSessionClosed(error);
}

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t error)
{
    return TCustomWSocket::TriggerDataAvailable(error);
}

int TCustomSocksWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    return TCustomWSocket::DoRecv(buffer, bufferSize, flags);
}

void TCustomSocksWSocket::TriggerSocksConnected(std::uint16_t error)
{
    if (!Destroying())
        fire(OnSocksConnected, *this, error);
}

void TCustomSocksWSocket::TriggerSocksError(int error, const std::string& msg)
{
    if (!Destroying())
        fire(OnSocksError, *this, error, msg);
}

}  // namespace quenlo
