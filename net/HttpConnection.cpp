// THttpCli's connection: the chain of layers it is made of (built per connection), the lookup
// and connect, the close, the connections kept for the next request, and the bounds on a
// request's time (no progress, and the whole request).
#include "net/HttpProt.h"
#include "net/WSocket.h"
#include "platform/Winsock.h"

#include <algorithm>

namespace quenlo {

namespace {

constexpr std::uint16_t kTimedOut = platform::ws::WSAETIMEDOUT;
constexpr std::uint16_t kInvalidArgument = platform::ws::WSAEINVAL;

std::string ErrorText(std::uint16_t error)
{
    return WSocketErrorText(error) + " (Error #" + std::to_string(error) + ")";
}

// "N s", or "N ms" for a bound that is no whole number of seconds.
std::string DurationText(std::chrono::milliseconds d)
{
    return d.count() % 1000 == 0 ? std::to_string(d.count() / 1000) + " s" : std::to_string(d.count()) + " ms";
}

}  // namespace

void THttpCli::BeginResolving()
{
    chain_.DropLayers();
    SetState(hsDnsLookup);
    NoteProgress();
    try {
        chain_.End()->Lookup(hostName_);
    } catch (const std::exception&) {
        // An empty or unusable host name: the same end as a failed lookup.
        ChainLookupDone(kInvalidArgument);
    }
}

void THttpCli::ChainLookupDone(std::uint16_t error)
{
    if (state_ != hsDnsLookup || phase_ != TRequestPhase::Exchanging)
        return;  // a late answer for a request that has already ended
    NoteProgress();
    if (error != 0) {
        RecordFailure(error, 404, "can't resolve hostname to IP address");
        EndRequest(false);
        return;
    }
    SetState(hsConnecting);
    THttpEnd& end = *chain_.End();
    try {
        end.Connect(port_, ConnectAttemptShare(end.Addresses()));
    } catch (const std::exception& e) {
        // A refusal before any system call (a port that is no number, say) leaves no socket
        // error: report it as an invalid argument, with the socket layer's own words.
        const int n = end.LastError();
        NetworkFailure(n != 0 ? static_cast<std::uint16_t>(n) : kInvalidArgument,
                       n != 0 ? "can't connect: " + ErrorText(static_cast<std::uint16_t>(n))
                              : "can't connect: " + std::string(e.what()));
    }
}

// How long one address of a name may take to connect before the next is tried. Silent
// addresses share half of the no-progress limit, so that every one of them gets its turn and the
// last, which has no limit of its own, still has the other half.
std::chrono::milliseconds THttpCli::ConnectAttemptShare(std::size_t addresses) const
{
    if (opt_.noProgressTimeout.count() <= 0 || addresses < 2)
        return TCustomWSocket::kDefaultConnectAttemptTimeout;
    const std::chrono::milliseconds share =
        opt_.noProgressTimeout / (2 * static_cast<std::chrono::milliseconds::rep>(addresses));
    return std::clamp(share, std::chrono::milliseconds(1), TCustomWSocket::kDefaultConnectAttemptTimeout);
}

void THttpCli::ChainConnected(std::uint16_t error)
{
    if (Over())
        return;
    NoteProgress();
    if (error != 0) {
        // The socket closes itself after this handler.
        RecordFailure(error, 404, ErrorText(error));
        EndRequest(false);
        return;
    }
    connected_ = true;
    AddLayers();
    chain_.Open();
}

void THttpCli::ChainOpened() { BeginExchange(); }

int THttpCli::ReceiveBytes(void* buffer, int size)
{
    const int n = chain_.Top().Receive(buffer, size);
    return n < 0 ? -1 : n;
}

// A request goes out on the socket, or, in tests, on the offline end; a kept connection of the
// other kind is dropped.
void THttpCli::UseEnd(bool offline)
{
    if (chain_.End() != nullptr && (OfflineEnd() != nullptr) == offline)
        return;
    DropKeptConnection();
    THttpChainListener& listener = *this;
    if (offline)
        chain_.SetEnd(std::make_unique<TOfflineEnd>(offlineSent_, listener));
    else
        chain_.SetEnd(std::make_unique<TSocketEnd>(*socket_, listener));
}

TOfflineEnd* THttpCli::OfflineEnd() const noexcept { return dynamic_cast<TOfflineEnd*>(chain_.End()); }

bool THttpCli::Encrypted() const noexcept { return chain_.End() != nullptr && chain_.Top().Encrypted(); }

void THttpCli::ChainProgress() { NoteProgress(); }

// The connection is ready for the request: plain, or with its tunnel and handshake done.
void THttpCli::BeginExchange()
{
    const TLivenessToken alive = LivenessToken();
    SetState(hsConnected);
    if (alive.expired())
        return;
    TriggerSessionConnected();
    if (alive.expired() || Over())
        return;
    SetState(hsWaitingHeader);
    if (alive.expired() || Over())
        return;
    try {
        if (requestType_ == hrPost) {
            // The header and the first body block leave in one send, so a small request is one
            // segment on the wire instead of two (the second held back until the first is
            // acknowledged).
            holdSends_ = true;
            ComposeAndSend("POST");
            if (alive.expired() || Over())
                return;
            TriggerSendBegin();
            if (alive.expired() || Over())
                return;
            allowedToSend_ = true;
            SendBodyBlock();
            if (alive.expired() || Over())
                return;
            FlushHeldSends();
            // An end that reports no sends takes the whole body now.
            while (!chain_.End()->ReportsSent() && !alive.expired() && allowedToSend_ && !Over())
                SendBodyBlock();
        } else {
            ComposeAndSend("GET");
        }
    } catch (...) {
        if (!alive.expired()) {
            holdSends_ = false;
            heldSends_.clear();
            CloseConnection();
        }
    }
}

void THttpCli::ChainSent()
{
    if (Over())
        return;
    NoteProgress();
    const TLivenessToken alive = LivenessToken();
    try {
        SendBodyBlock();
    } catch (...) {
        if (!alive.expired())
            CloseConnection();
    }
}

void THttpCli::ChainClosed(std::uint16_t error)
{
    if (kept_.state == TKeptState::Closing)
        return;  // closed by us, outside any request
    if (kept_.state == TKeptState::Waiting && Over()) {
        // The server ended a connection that waited for the next request: nothing is lost.
        kept_.state = TKeptState::None;
        connected_ = false;
        platform::KillTimer(window_, kKeptTimerId);
        return;
    }
    if (const THttpFilter* opening = chain_.Opening(); opening != nullptr && !Over() && phase_ != TRequestPhase::Relocating) {
        ChainFailed(opening->ClosedWhileOpening());
        return;
    }
    if (phase_ == TRequestPhase::Relocating)
        HandleRelocationClosed(error);
    else
        HandleSessionClosed(error);
}

void THttpCli::HandleSessionClosed(std::uint16_t error)
{
    if (RetryOnNewConnection())
        return;
    // A reset cuts the body short, unless its announced length had already arrived.
    if (error != 0 && !ReplyComplete())
        RecordFailure(error, 404, ErrorText(error));
    else if (const std::string cut = CutShortText(); !cut.empty())
        RecordFailure(HttpError::CutShort, 0, cut);
    EndRequest(false);
}

void THttpCli::HandleRelocationClosed(std::uint16_t)
{
    connected_ = false;
    locationChange_ = false;
    SetPhase(TRequestPhase::Exchanging);
    if (retrying_) {
        // The same request again, over the transport RetryConnection chose.
        retrying_ = false;
        platform::PostMessage(window_, MsgRestart, 0, 0);
        return;
    }
    chain_.SetTransport(ChooseTransport());
    const TLivenessToken alive = LivenessToken();
    fire(OnLocationChange, *this);
    if (alive.expired())
        return;
    platform::PostMessage(window_, MsgRestart, 0, 0);
}

void THttpCli::CloseConnection()
{
    CloseSocket();
    connected_ = false;
}

// Closes the connection; the socket then reports the close to the current close handler. Offline
// there is no socket, so the report is made here.
void THttpCli::CloseSocket()
{
    if (phase_ == TRequestPhase::Answered)
        SetPhase(TRequestPhase::Exchanging);
    chain_.End()->Close();
}

bool THttpCli::KeepsConnections() const noexcept
{
    return opt_.keepAlive.count() > 0 && opt_.proxy.empty();
}

// The reply is whole, or refused: the connection stays for the next request when both sides
// keep it and the reply ended where its own framing says; otherwise it is closed, which ends the
// request. Bytes already behind the reply answer nothing that was asked (a second reply injected
// or sent ahead), and a reply framed two ways may end elsewhere for the server: either way the
// next reply on that connection could be taken for another request's.
void THttpCli::EndAnsweredExchange()
{
    if (KeepsConnections() && parser_.KeepsConnection() && ReplyComplete() && requestDoneError_ == 0 &&
        parser_.Buffered() == 0 && !parser_.FramedTwice())
        KeepConnection();
    else
        CloseSocket();
}

void THttpCli::KeepConnection()
{
    kept_ = {hostName_, port_, TKeptState::Waiting};
    parser_.StartNextResponse();
    const auto ms = std::clamp<long long>(opt_.keepAlive.count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kKeptTimerId, static_cast<unsigned>(ms));
    EndRequest(false);
}

// The request just prepared goes out on the kept connection when that leads where the request
// goes, over the same transport; a kept connection to elsewhere is closed. False when a new
// connection is to be made.
bool THttpCli::ReuseKeptConnection(const THttpTransport& wanted)
{
    if (kept_.state != TKeptState::Waiting)
        return false;
    if (!chain_.End()->Connected() || !KeepsConnections() || hostName_ != kept_.host || port_ != kept_.port ||
        wanted.tls != chain_.Top().Encrypted() || KeptConnectionSpoke()) {
        DropKeptConnection();
        return false;
    }
    platform::KillTimer(window_, kKeptTimerId);
    kept_.state = TKeptState::InUse;
    BeginExchange();
    return true;
}

void THttpCli::ReuseOrConnect()
{
    const THttpTransport transport = ChooseTransport();
    if (ReuseKeptConnection(transport))
        return;
    chain_.SetTransport(transport);
    BeginResolving();
}

void THttpCli::DropKeptConnection()
{
    if (kept_.state != TKeptState::Waiting)
        return;
    connected_ = false;
    platform::KillTimer(window_, kKeptTimerId);
    parser_.Reset();
    kept_.state = TKeptState::Closing;
    chain_.End()->Close();
    kept_.state = TKeptState::None;
    chain_.DropLayers();
}

// A kept connection is readable between requests: the server's close (or bytes nobody asked
// for) ends it; TLS records that bring no bytes (a session ticket) leave it as it is.
void THttpCli::CheckIdleKeptConnection()
{
    if (KeptConnectionSpoke())
        DropKeptConnection();
}

// The kept connection brought bytes nobody asked for, or its close, that its read event has not
// reported yet; they must not be read as the answer to the next request.
bool THttpCli::KeptConnectionSpoke()
{
    return parser_.Buffered() > 0 || !chain_.Top().Quiet();
}

// A kept connection that the server closed or reset before any byte of the reply came (its idle
// limit ran out as the request left) says nothing about the server: the request goes once more,
// on a new connection. True when it does.
bool THttpCli::RetryOnNewConnection()
{
    if (kept_.state != TKeptState::InUse || Over() || requestDoneError_ != 0 || AnythingReceived() || parser_.Buffered() > 0)
        return false;
    kept_.state = TKeptState::Waiting;  // closed here like a kept connection: its report ends nothing
    DropKeptConnection();
    platform::PostMessage(window_, MsgRestart, 0, 0);
    return true;
}

void THttpCli::NoteProgress()
{
    lastProgress_ = std::chrono::steady_clock::now();
}

void THttpCli::ArmProgressTimer()
{
    NoteProgress();
    if (opt_.noProgressTimeout.count() <= 0) {
        platform::KillTimer(window_, kProgressTimerId);
        return;
    }
    const auto ms = std::clamp<long long>(opt_.noProgressTimeout.count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kProgressTimerId, static_cast<unsigned>(ms));
}

void THttpCli::ArmRequestTimer()
{
    platform::KillTimer(window_, kRequestTimerId);
    if (opt_.requestTimeout.count() <= 0)
        return;
    const auto ms = std::clamp<long long>(opt_.requestTimeout.count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kRequestTimerId, static_cast<unsigned>(ms));
}

// Every byte restarts the progress bound, so a server that trickles would hold the request
// forever without this one.
void THttpCli::RequestTimedOut()
{
    platform::KillTimer(window_, kRequestTimerId);
    NetworkFailure(kTimedOut, "HTTP request took longer than " + DurationText(opt_.requestTimeout));
}

// The timer is set for the whole bound from the last progress seen when it was armed; when it
// fires, either nothing has happened since (the request times out) or it is set again for what
// is left of the bound counted from the latest progress.
void THttpCli::CheckProgress()
{
    if (Over() || opt_.noProgressTimeout.count() <= 0) {
        platform::KillTimer(window_, kProgressTimerId);
        return;
    }
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - lastProgress_);
    if (idle >= opt_.noProgressTimeout) {
        platform::KillTimer(window_, kProgressTimerId);
        if (const THttpFilter* opening = chain_.Opening(); opening != nullptr && !opening->StalledText(idle).empty())
            RecordFailure(kTimedOut, 404, opening->StalledText(idle));
        NetworkFailure(kTimedOut, ErrorText(kTimedOut));
        return;
    }
    const auto left = std::clamp<long long>((opt_.noProgressTimeout - idle).count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kProgressTimerId, static_cast<unsigned>(left));
}

}  // namespace quenlo
