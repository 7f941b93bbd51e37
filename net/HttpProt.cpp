#include "net/HttpProt.h"
#include "platform/Text.h"

#include "net/HttpTls.h"
#include "net/TlsTrust.h"
#include "net/WSocket.h"
#include "platform/Tls.h"
#include "platform/Wait.h"
#include "platform/Winsock.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>

namespace quenlo {

namespace {

constexpr unsigned kProgressTimerId = 1;
constexpr unsigned kRequestTimerId = 2;
constexpr unsigned kKeptTimerId = 3;
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

// The file name a browser would save the document under: the last path segment, no query.
std::string DocumentNameFromPath(const std::string& path)
{
    if (path.empty() || path == "/")
        return "document.htm";
    std::string name = path;
    if (name.back() == '/')
        name.pop_back();
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1, 255);
    const std::size_t query = name.find('?');
    if (query != std::string::npos)
        name.erase(query);
    return name;
}

}  // namespace

const char* to_string(THttpCliState state) noexcept
{
    switch (state) {
    case hsReady: return "hsReady";
    case hsNotConnected: return "hsNotConnected";
    case hsConnected: return "hsConnected";
    case hsDnsLookup: return "hsDnsLookup";
    case hsConnecting: return "hsConnecting";
    case hsWaitingHeader: return "hsWaitingHeader";
    case hsWaitingBody: return "hsWaitingBody";
    }
    return "?";
}

const char* to_string(THttpRequest request) noexcept
{
    switch (request) {
    case hrNone: return "hrNone";
    case hrGet: return "hrGet";
    case hrPost: return "hrPost";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------
// Construction

THttpCli::THttpCli(TComponent* owner)
    : TComponent(owner), trustStorePath_(DefaultTrustStorePath()), strictTrust_(StrictTrustByDefault()),
      socket_(std::make_unique<TWSocket>(this))
{
    window_ = platform::CreateMessageTarget(
        [this](platform::HWND, unsigned m, platform::WPARAM w, platform::LPARAM l) {
            return WindowProc(m, w, l);
        });
}

THttpCli::~THttpCli()
{
    MarkDestroying();
    if (window_ != 0) {
        platform::KillTimer(window_, kProgressTimerId);
        platform::KillTimer(window_, kKeptTimerId);
        platform::DestroyMessageTarget(window_);
    }
    chain_.Clear();
    socket_.reset();
}

void THttpCli::SetMultiThreaded(bool v)
{
    multiThreaded_ = v;
    socket_->SetMultiThreaded(v);
}

// ---------------------------------------------------------------------------------------------
// Blocking façade

void THttpCli::Get() { ExecuteRequest(hrGet); }
void THttpCli::Post() { ExecuteRequest(hrPost); }

void THttpCli::ExecuteRequest(THttpRequest rq)
{
    StartRequest(rq);
    WaitUntilReady();
    if (replyStatus_ >= 400)
        throw EHttpException(replyReason_, static_cast<std::uint16_t>(std::min(replyStatus_, 65535)));
    if (ProtocolFailure() != 0)
        throw EHttpException(replyReason_, ProtocolFailure());
}

// The one place that waits. A quit asked of the thread ends the request (with MultiThreaded the
// socket consumes it, else it stays pending for the loop outside); the rest of that end is
// already queued in front of the quit and is processed here.
void THttpCli::WaitUntilReady()
{
    const TLivenessToken alive = LivenessToken();
    const auto ready = [&] { return alive.expired() || state_ == hsReady; };
    const bool terminated = multiThreaded_ && socket_->ThreadTerminated();
    if (terminated || platform::WaitUntil(ready) == platform::WaitEnd::Quit) {
        if (multiThreaded_ && !alive.expired())
            socket_->DrainThreadMessages();
        if (!alive.expired())
            Fail(HttpError::Aborted);
        if (!alive.expired())
            platform::ProcessLoopMessages();
    }
    if (alive.expired())
        throw EHttpException(HttpError::Aborted);
}

// ---------------------------------------------------------------------------------------------
// Request start

void THttpCli::StartRequest(THttpRequest rq)
{
    PrepareRequest(rq);
    if (RefuseUnsafeRequest())
        return;
    ArmProgressTimer();
    ArmRequestTimer();
    UseEnd(false);
    ChooseTransport();
    if (!ReuseKeptConnection())
        BeginResolving();
}

void THttpCli::StartOffline(THttpRequest rq)
{
    PrepareRequest(rq);
    if (RefuseUnsafeRequest())
        return;
    UseEnd(true);
    ChooseTransport();
    if (!ReuseKeptConnection())
        BeginResolving();
}

void THttpCli::PrepareRequest(THttpRequest rq)
{
    if (state_ != hsReady)
        throw EHttpException(HttpError::Busy);
    std::int64_t postStart = 0;
    if (rq == hrPost) {
        if (postStream_ == nullptr)
            throw EHttpException(HttpError::NothingToPost);
        postStream_->clear();
        postStart = static_cast<std::int64_t>(postStream_->tellg());
        if (postStart < 0)
            throw EHttpException(HttpError::NothingToPost);
    }

    replyHeaderLines_.clear();
    requestType_ = rq;
    requestDoneError_ = 0;
    SetPhase(TRequestPhase::Exchanging);
    SetState(hsNotConnected);

    documentFileName_.clear();
    replyStatus_ = 0;
    replyReason_.clear();
    replyContentType_.clear();
    replyBytesReceived_ = 0;
    postBytesSent_ = 0;
    headerLineCount_ = 0;
    bodyDataCount_ = 0;
    replyLength_ = -1;
    allowedToSend_ = false;
    currentUrl_ = url_;
    // Nothing of an earlier request may leak into this one.
    locationChange_ = false;
    relocationCount_ = 0;
    if (!kept_)
        parser_.Reset();  // a kept connection's parser holds what followed the last reply
    onKeptConnection_ = false;
    postStart_ = postStart;
    holdSends_ = false;
    heldSends_.clear();
    offlineSent_.clear();
    retrying_ = false;
    credentialsPlain_ = false;

    ApplyUrl();
}

void THttpCli::ApplyUrl()
{
    const TUrlParts u = SplitUrl(url_);
    const std::string scheme = platform::AsciiLower(u.Scheme);
    schemeTls_ = scheme == "https" || scheme == "ipps";
    targetHost_ = u.Host;
    docPort_ = !u.Port.empty() ? u.Port : scheme == "https" ? "443" : scheme == "ipps" ? "631" : "80";
    if (proxy_.empty()) {
        path_ = u.Path;
        hostName_ = u.Host;
        port_ = docPort_;
    } else {
        path_ = (u.Scheme.empty() ? std::string("http") : u.Scheme) + "://" + u.Host +
                (u.Port.empty() ? std::string() : ":" + u.Port) + u.Path;
        const TUrlParts p = SplitUrl(proxy_);
        hostName_ = p.Host;
        port_ = p.Port.empty() ? proxyPort_ : p.Port;
    }
    if (!u.User.empty())
        username_ = u.User;
    if (!u.Password.empty())
        password_ = u.Password;
    if (path_.empty())
        path_ = "/";
    documentFileName_ = DocumentNameFromPath(u.Path);
    origHost_ = platform::AsciiLower(targetHost_);
    origPort_ = docPort_;
    sendCredentials_ = true;
}

// What of this request could not go on the wire as it is, named for the user; empty when all is
// well. Everything composed into the request line and header is looked at once, before any
// connection is made; a server's relocation and range values are looked at as they arrive.
std::string THttpCli::UnsafeRequestText() const
{
    if (!WireSafe(path_, false) || !WireSafe(targetHost_, false) || !WireSafe(docPort_, false))
        return "the URL";
    if (!proxy_.empty() && (!WireSafe(hostName_, false) || !WireSafe(port_, false)))
        return "the proxy";
    if (!WireSafe(username_, true) || !WireSafe(password_, true))
        return "the user name or password";
    if (!WireSafe(proxyUsername_, true) || !WireSafe(proxyPassword_, true))
        return "the proxy user name or password";
    if (!WireSafe(contentRangeBegin_, false) || !WireSafe(contentRangeEnd_, false))
        return "the range";
    for (const std::string* text : {&sender_, &accept_, &reference_, &agent_, &contentTypePost_, &cookie_})
        if (!WireSafe(*text, true))
            return "a header value";
    return {};
}

// Ends the request just prepared, before anything is looked up or sent, when it is unsafe.
bool THttpCli::RefuseUnsafeRequest()
{
    const std::string what = UnsafeRequestText();
    if (what.empty())
        return false;
    RecordFailure(HttpError::UnsafeText, 0, "HTTP request refused: " + what + " " + HttpError::UnsafeText.text);
    EndRequest(false);
    return true;
}

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

// ---------------------------------------------------------------------------------------------
// Socket events

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
    if (noProgressTimeout_.count() <= 0 || addresses < 2)
        return TCustomWSocket::kDefaultConnectAttemptTimeout;
    const std::chrono::milliseconds share =
        noProgressTimeout_ / (2 * static_cast<std::chrono::milliseconds::rep>(addresses));
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

void THttpCli::ChainReadable()
{
    if (Over() && kept_) {
        CheckIdleKeptConnection();
        return;
    }
    if (Over()) {
        // The request has ended; read and drop what still arrives so the socket stays quiet.
        char scratch[1024];
        while (ReceiveBytes(scratch, sizeof scratch) > 0) {
        }
        return;
    }
    if (chain_.TakeReadable())
        return;  // a layer still opening took them
    // Read everything waiting now, one buffer at a time.
    const TLivenessToken alive = LivenessToken();
    for (;;) {
        // A chunked body on a kept connection goes through the line buffer, which keeps what
        // follows its last chunk; a block read past it would lose those bytes.
        const bool blocks = state_ == hsWaitingBody && parser_.InBody() && parser_.Buffered() == 0 &&
                            !(KeepsConnections() && parser_.Chunked());
        const bool goOn = blocks ? ReceiveBodyBlock() : ReceiveIntoParser();
        if (!goOn) {
            if (!alive.expired())  // a handler may have destroyed the component
                EndAtCloseNotify();
            return;
        }
        if (phase_ == TRequestPhase::Answered) {
            EndAnsweredExchange();
            return;
        }
    }
}

// Reads into the parser's line buffer and hands what came to the request. False when nothing
// was waiting (or a line fills the buffer), or as ReadParser.
bool THttpCli::ReceiveIntoParser()
{
    const std::span<char> room = parser_.Room();
    if (room.empty()) {
        Fail(HttpError::LineTooLong);
        return false;
    }
    const int n = ReceiveBytes(room.data(), static_cast<int>(room.size()));
    if (requestType_ == hrNone || n <= 0)
        return false;
    NoteProgress();
    parser_.Received(static_cast<std::size_t>(n));
    return ReadParser(nullptr);
}

// The header is behind us: body bytes need no line cutting, so they are read in large blocks,
// into the reply stream's own room when it lends one (the body is then written only once), else
// into the client's block buffer. False when nothing was waiting, or as ReadParser.
bool THttpCli::ReceiveBodyBlock()
{
    // Never more than the announced length still to come (a read past it would be cut off anyway).
    std::size_t take = parser_.BodyLeft();
    // A chunked body is decoded out of the client's own buffer: the framing must not land in the
    // reply stream's room.
    THttpReceiveTarget* const target = parser_.Chunked() ? nullptr : ReceiveTarget();
    std::span<char> room;
    if (target != nullptr) {
        // A lent room may be far larger than one block: one read then takes all that is waiting.
        room = target->ReceiveRoom(std::min(take, kBodyBlockSize));
    } else {
        if (!bodyBuffer_)
            bodyBuffer_ = std::make_unique_for_overwrite<char[]>(kBodyBlockSize);
        room = {bodyBuffer_.get(), kBodyBlockSize};
    }
    take = std::min(take, room.size());
    const int n = ReceiveBytes(room.data(), static_cast<int>(take));
    if (n <= 0)
        return false;
    NoteProgress();
    parser_.FeedBody(room.data(), static_cast<std::size_t>(n));
    return ReadParser(target);
}

THttpReceiveTarget* THttpCli::ReceiveTarget() const
{
    return replyStream_ == nullptr ? nullptr : dynamic_cast<THttpReceiveTarget*>(replyStream_->rdbuf());
}

void THttpCli::ChainClosed(std::uint16_t error)
{
    if (closingKept_)
        return;  // closed by us, outside any request
    if (kept_ && Over()) {
        // The server ended a connection that waited for the next request: nothing is lost.
        kept_ = false;
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

// Why a body the server's close ended is not whole; empty when it is, or when the answer is a
// refusal (status 400 or more), which the client closes itself without waiting for its body.
std::string THttpCli::CutShortText() const
{
    if (!parser_.InBody() || ReplyComplete() || replyStatus_ >= 400)
        return {};
    if (parser_.Chunked())
        return std::string(HttpError::CutShort.text) + " before the last chunk of the answer";
    if (parser_.ContentLength() >= 0)
        return std::string(HttpError::CutShort.text) + " " +
               std::to_string(parser_.ContentLength() - parser_.BodyReceived()) + " bytes before the end of the answer";
    // Only the close marks the end here, when nobody in the path can fake it. A 204 or 304 has no
    // body to cut.
    if (!chain_.Top().CloseIsTheEnd() && replyStatus_ != 204 && replyStatus_ != 304)
        return std::string(HttpError::CutShort.text) + " without TLS close_notify: the end of the answer is not certain";
    return {};
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
    ChooseTransport();
    const TLivenessToken alive = LivenessToken();
    fire(OnLocationChange, *this);
    if (alive.expired())
        return;
    platform::PostMessage(window_, MsgRestart, 0, 0);
}

// The one way a request ends, whatever ended it: the outcome recorded first stands, every socket
// event from here on is ignored, and hsReady follows from the event loop.
void THttpCli::EndRequest(bool stopNetwork)
{
    if (Over())
        return;
    SetPhase(TRequestPhase::Ended);
    if (stopNetwork && chain_.End() != nullptr)
        chain_.End()->Stop();  // it reports nothing back, since the request has ended
    if (!kept_)
        connected_ = false;
    allowedToSend_ = false;
    if (replyStatus_ == 0 && requestDoneError_ == 0 && !AnythingReceived()) {
        if (parser_.Buffered() > 0)
            RecordFailure(HttpError::BadStatusLine, 0,
                          "HTTP server closed the connection without a status line (" +
                              std::to_string(parser_.Buffered()) + " bytes received)");
        else
            RecordFailure(HttpError::NoResponse, 0, HttpError::NoResponse.text);
    }
    if (bodyDataCount_ > 0) {
        const TLivenessToken alive = LivenessToken();
        TriggerDocEnd();
        if (alive.expired())
            return;
    }
    platform::PostMessage(window_, MsgSetIdle, 0, 0);
}

void THttpCli::RecordFailure(std::uint16_t error, std::int32_t status, const std::string& reason)
{
    if (requestDoneError_ != 0)
        return;
    requestDoneError_ = error;
    if (status != 0)
        replyStatus_ = status;
    replyReason_ = reason;
}

void THttpCli::SetPhase(TRequestPhase phase) noexcept
{
    phase_ = phase;
}

bool THttpCli::Over() const noexcept
{
    return phase_ == TRequestPhase::Idle || phase_ == TRequestPhase::Ended;
}

bool THttpCli::AnythingReceived() const noexcept
{
    return !replyHeaderLines_.empty() || replyBytesReceived_ > 0;
}

bool THttpCli::ReplyComplete() const noexcept
{
    return parser_.Complete();
}

std::uint16_t THttpCli::ProtocolFailure() const noexcept
{
    return requestDoneError_ < 100 ? requestDoneError_ : 0;
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

void THttpCli::NetworkFailure(std::uint16_t error, const std::string& reason)
{
    if (Over())
        return;
    RecordFailure(error, 404, reason);
    EndRequest(true);
}

void THttpCli::Fail(const TErrorCode& code)
{
    Fail(code.number, code.text);
}

void THttpCli::Fail(std::uint16_t code, const std::string& text)
{
    if (Over())
        return;
    RecordFailure(code, 0, text);
    // The close now ends the request, even one that was being relocated.
    SetPhase(TRequestPhase::Exchanging);
    CloseSocket();
}

// ---------------------------------------------------------------------------------------------
// Request composition and the POST body

void THttpCli::QueueHeaderLine(const std::string& line)
{
    fire(OnCommand, *this, line);
    requestBuffer_ += line;
    requestBuffer_ += "\r\n";
}

void THttpCli::ComposeAndSend(const char* method)
{
    const bool post = std::strcmp(method, "POST") == 0;
    std::int64_t contentLength = 0;
    if (post) {
        // Always send from where the stream stood at request start, so a relocated POST carries
        // the same bytes as the first, and the length is what will really be sent.
        postStream_->clear();
        postStream_->seekg(0, std::ios::end);
        const std::int64_t end = static_cast<std::int64_t>(postStream_->tellg());
        postStream_->seekg(postStart_);
        contentLength = std::max<std::int64_t>(0, end - postStart_);
    }

    const TLivenessToken alive = LivenessToken();
    requestBuffer_.clear();
    TriggerRequestHeaderBegin();
    if (alive.expired())
        return;
    // Inside a proxy's tunnel the server itself is spoken to: the path alone, as without a proxy.
    QueueHeaderLine(std::string(method) + " " + (transport_.tunnel ? OriginForm(path_) : path_) +
                    (KeepsConnections() ? " HTTP/1.1" : " HTTP/1.0"));
    if (!sender_.empty())
        QueueHeaderLine("From: " + sender_);
    if (!accept_.empty())
        QueueHeaderLine("Accept: " + accept_);
    if (!reference_.empty())
        QueueHeaderLine("Referer: " + reference_);
    if (post && !contentTypePost_.empty())
        QueueHeaderLine("Content-Type: " + contentTypePost_);
    if (!agent_.empty())
        QueueHeaderLine("User-Agent: " + agent_);
    QueueHeaderLine("Host: " + targetHost_);
    if (noCache_)
        QueueHeaderLine("Pragma: no-cache");
    if (post)
        QueueHeaderLine("Content-Length: " + std::to_string(contentLength));
    if (modifiedSince_ != 0) {
        const std::string date = HttpDateText(modifiedSince_);
        if (!date.empty())
            QueueHeaderLine("If-Modified-Since: " + date + " GMT");
    }
    if (!username_.empty() && sendCredentials_)
        QueueHeaderLine("Authorization: Basic " + Base64Encode(username_ + ":" + password_));
    if (!proxy_.empty() && !proxyUsername_.empty() && !transport_.tunnel)
        QueueHeaderLine("Proxy-Authorization: Basic " +
                        Base64Encode(proxyUsername_ + ":" + proxyPassword_));
    if (!cookie_.empty())
        QueueHeaderLine("Cookie: " + cookie_);
    if (!contentRangeBegin_.empty() || !contentRangeEnd_.empty()) {
        QueueHeaderLine("Range: bytes=" + contentRangeBegin_ + "-" + contentRangeEnd_);
        contentRangeBegin_.clear();
        contentRangeEnd_.clear();
    }
    if (alive.expired())
        return;
    TriggerRequestHeaderEnd();
    if (alive.expired())
        return;
    QueueHeaderLine("");
    if (alive.expired())
        return;
    std::string request;
    request.swap(requestBuffer_);
    SocketSend(request.data(), request.size());
}

void THttpCli::SendBodyBlock()
{
    if (!allowedToSend_)
        return;
    postStream_->read(sendBlock_.data(), static_cast<std::streamsize>(sendBlock_.size()));
    const std::streamsize n = postStream_->gcount();
    const TLivenessToken alive = LivenessToken();
    if (n > 0) {
        postBytesSent_ += n;
        TriggerSendData(sendBlock_.data(), static_cast<std::int32_t>(n));
        if (alive.expired() || Over())
            return;
        SocketSend(sendBlock_.data(), static_cast<std::size_t>(n));
    } else {
        allowedToSend_ = false;
        TriggerSendEnd();
    }
}

void THttpCli::SocketSend(const char* data, std::size_t len)
{
    if (holdSends_) {
        heldSends_.append(data, len);
        return;
    }
    chain_.Top().Send(data, len);
}

void THttpCli::FlushHeldSends()
{
    holdSends_ = false;
    std::string bytes;
    bytes.swap(heldSends_);
    if (!bytes.empty())
        SocketSend(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Receiving: the socket's bytes go to the parser, and what it makes of them drives the request.

void THttpCli::FeedReceived(const char* data, std::size_t len)
{
    if (OfflineEnd() == nullptr || requestType_ == hrNone || Over())
        return;
    while (len > 0) {
        const std::span<char> room = parser_.Room();
        if (room.empty()) {
            Fail(HttpError::LineTooLong);
            return;
        }
        const std::size_t n = std::min(room.size(), len);
        std::memcpy(room.data(), data, n);
        data += n;
        len -= n;
        parser_.Received(n);
        if (!ReadParser(nullptr))
            return;
        if (phase_ == TRequestPhase::Answered) {
            EndAnsweredExchange();
            return;
        }
    }
}

void THttpCli::FeedClosed(std::uint16_t error)
{
    if (OfflineEnd() == nullptr || Over() || !connected_)
        return;  // no request, or the connection is already closed (by us)
    ChainClosed(error);
}

// Hands what the parser makes of the bytes given to it to the request, event by event, until it
// needs more bytes or the request is over. Body events of a block received into `into` are in
// the room it lent. False when the request is over or the component gone: the one check of both
// for every event of a read.
bool THttpCli::ReadParser(THttpReceiveTarget* into)
{
    const TLivenessToken alive = LivenessToken();
    for (THttpEvent e = parser_.Next(); e.kind != THttpEvent::NeedBytes; e = parser_.Next()) {
        switch (e.kind) {
        case THttpEvent::Body:
            DeliverBody(e.text.data(), e.text.size(), into);
            break;
        case THttpEvent::Failed:
            if (e.error == HttpError::BadHeader)
                Fail(HttpError::BadHeader, HttpError::BadHeader.text + std::string(": a line holds a NUL byte"));
            else
                Fail(HttpError::BadChunk);
            break;
        default:
            HandleHeaderLine(e);
            break;
        }
        if (alive.expired() || Over())
            return false;
    }
    NoteIfComplete();  // "content-length: 0", or a chunked body's last framing
    return true;
}

void THttpCli::HandleHeaderLine(const THttpEvent& e)
{
    if (state_ != hsWaitingHeader && state_ != hsWaitingBody)
        return;  // not waiting for an answer
    replyLength_ = parser_.ContentLength();
    const TLivenessToken alive = LivenessToken();
    if (headerLineCount_ == 0) {
        TriggerHeaderBegin();
        if (alive.expired() || Over())
            return;
    }
    ++headerLineCount_;
    switch (e.kind) {
    case THttpEvent::NoHeader:
        // The line itself comes next from the parser, as the first body bytes.
        if (replyContentType_.empty())
            replyContentType_ = "text/html";
        EnterBody();
        return;
    case THttpEvent::InterimEnd:
        SkipInterimAnswer();
        return;
    case THttpEvent::HeaderEnd:
        EndOfHeader();
        return;
    default:
        break;
    }
    // Interim answers and relocations add theirs too: a server cannot make the list grow forever.
    if (replyHeaderLines_.size() >= kMaxHeaderLines) {
        Fail(HttpError::BadHeader,
             HttpError::BadHeader.text + (": more than " + std::to_string(kMaxHeaderLines) + " lines"));
        return;
    }
    replyHeaderLines_.emplace_back(e.text);
    if (e.kind == THttpEvent::StatusLine) {
        if (!TakeStatusLine())
            return;
    } else if (e.error == HttpError::ConflictingLength) {
        Fail(HttpError::ConflictingLength);
        return;
    } else if (e.kind == THttpEvent::HeaderField) {
        ProcessHeaderField(parser_.Name(), parser_.Value());
        if (alive.expired() || Over())
            return;
    }
    fire(OnHeaderData, *this);
    if (alive.expired())
        return;
    if (replyStatus_ >= 400)
        SetPhase(TRequestPhase::Answered);  // the refusal is the answer
}

// False when the line ends the request or repeats it.
bool THttpCli::TakeStatusLine()
{
    if (parser_.Status() < 0) {
        Fail(HttpError::BadStatusLine);
        return false;
    }
    replyStatus_ = parser_.Status();
    replyReason_ = parser_.Reason();
    if (replyStatus_ == 426 && !chain_.Top().Encrypted() && chain_.End()->CanEncrypt() && encryption_ != heNever &&
        platform::TlsSession::Available()) {
        // "Upgrade Required": the server wants TLS, and from now on gets it from the start.
        RememberTlsServer(ServerKey());
        RetryConnection(true);
        return false;
    }
    return true;
}

// `name` and `value` are copies: a cookie handler may destroy the parser with the component.
void THttpCli::ProcessHeaderField(std::string name, std::string value)
{
    if (name == "location") {
        const std::string location = HeaderValueTrimmed(value);
        const std::string scheme = platform::AsciiLower(SchemeOf(location));
        std::string refusal;
        if (!WireSafe(location, false))
            refusal = "the location holds a control character or space";
        else if (!scheme.empty() && scheme != "http")
            refusal = "only http URLs and paths are followed";
        if (refusal.empty())
            locationChange_ = Relocate(location) || locationChange_;
        else if (replyStatus_ < 400)  // an error status is the answer, its location never followed
            Fail(HttpError::BadRelocation, HttpError::BadRelocation.text + refusal);
    } else if (name == "content-range") {
        // "bytes 100-199/1000"
        const std::size_t dash = value.find('-');
        if (dash != std::string::npos) {
            const std::string begin = dash > 6 ? value.substr(6, dash - 6) : std::string();
            const std::size_t slash = value.find('/', dash + 1);
            const std::string end = value.substr(dash + 1, slash == std::string::npos ? std::string::npos
                                                                                      : slash - dash - 1);
            // Both go into the next request's "Range: " line.
            if (!WireSafe(value, true) || !WireSafe(begin, false) || !WireSafe(end, false)) {
                Fail(HttpError::UnsafeText, std::string("HTTP Content-Range ") + HttpError::UnsafeText.text);
                return;
            }
            contentRangeBegin_ = begin;
            contentRangeEnd_ = end;
        }
    } else if (name == "content-type") {
        replyContentType_ = platform::AsciiLower(value);
    } else if (name == "www-authenticate") {
        authRequests_.push_back(value);
    } else if (name == "set-cookie") {
        bool accept = true;
        TriggerCookie(value, accept);
    }
}

// The parser has dropped a 1xx answer's header: the next status line is the answer.
void THttpCli::SkipInterimAnswer()
{
    replyStatus_ = 0;
    replyReason_.clear();
    headerLineCount_ = 0;
    locationChange_ = false;
}

void THttpCli::EndOfHeader()
{
    const TLivenessToken alive = LivenessToken();
    // An error status is the answer: its "location" is not followed.
    if (locationChange_ && replyStatus_ < 400) {
        if (++relocationCount_ > kMaxRelocations) {
            Fail(HttpError::TooManyRelocations,
                 HttpError::TooManyRelocations.text + (" (more than " + std::to_string(kMaxRelocations) + ")"));
            return;
        }
        TriggerHeaderEnd();
        if (alive.expired() || Over())
            return;
        parser_.Reset();
        headerLineCount_ = 0;
        bodyDataCount_ = 0;
        SetPhase(TRequestPhase::Relocating);
        CloseSocket();
        return;
    }
    const std::size_t dot = documentFileName_.rfind('.');
    if (dot != std::string::npos && platform::AsciiLower(documentFileName_.substr(dot)) == ".exe" &&
        replyContentType_ == "text/html")
        ReplaceDocExt(documentFileName_, "htm");
    if (WithinReplyBound(replyLength_))
        EnterBody();  // the body bytes of this read come next from the parser
}

// The one check of the reply bound, for the announced length and for what has arrived.
bool THttpCli::WithinReplyBound(std::int64_t length)
{
    if (maxReplyLength_ <= 0 || length <= maxReplyLength_)
        return true;
    Fail(HttpError::ReplyTooLarge, HttpError::ReplyTooLarge.text + (" " + std::to_string(maxReplyLength_) + " bytes"));
    return false;
}

void THttpCli::EnterBody()
{
    const TLivenessToken alive = LivenessToken();
    SetState(hsWaitingBody);
    if (!alive.expired())
        TriggerHeaderEnd();
}

// `data` points into the parser's buffer, or into the room `receivedInto` lent (the bytes are
// then already where the reply stream keeps them); nothing writes to either while a block is
// being delivered.
void THttpCli::DeliverBody(const char* data, std::size_t size, THttpReceiveTarget* receivedInto)
{
    if (!WithinReplyBound(replyBytesReceived_ + static_cast<std::int64_t>(size)))
        return;
    const TLivenessToken alive = LivenessToken();
    if (bodyDataCount_ == 0) {
        TriggerDocBegin();
        if (alive.expired() || Over())
            return;
    }
    ++bodyDataCount_;
    const auto len = static_cast<std::int32_t>(size);
    replyBytesReceived_ += len;
    TriggerDocData(data, len);
    if (alive.expired() || Over())
        return;
    if (receivedInto != nullptr) {
        receivedInto->ReceiveDone(size);
    } else if (replyStream_ != nullptr && len > 0) {
        replyStream_->write(data, len);
        if (!*replyStream_) {
            Fail(HttpError::ReplyStreamFailed);
            return;
        }
    }
    NoteIfComplete();
}

// A server may keep the connection open after the announced length (as HTTP/1.1 servers do for
// an HTTP/1.0 request): once that length is in, the reply is whole and the connection is ours to
// close. Without a length the body runs until the server closes.
void THttpCli::NoteIfComplete()
{
    if (phase_ == TRequestPhase::Exchanging && ReplyComplete())
        SetPhase(TRequestPhase::Answered);
}

// Works out where a "location" value sends the request next. Returns false for a value that
// names nothing (empty), which is ignored.
bool THttpCli::Relocate(const std::string& location)
{
    if (location.empty())
        return false;
    const TUrlParts v = SplitUrl(location);
    const std::string scheme = v.Scheme.empty() ? std::string("http") : v.Scheme;
    const bool isPath = location[0] == '/';
    const bool hasScheme = location.find("://") != std::string::npos;
    const bool bareName = !isPath && !hasScheme && v.Scheme.empty() && v.Path.empty() &&
                          v.Port.empty() && v.User.empty() && v.Password.empty() && !v.Host.empty();
    const std::string docAuthority =
        targetHost_ + (docPort_ == "80" ? std::string() : ":" + docPort_);

    if (!proxy_.empty()) {
        // The proxy stays; only the absolute request URI changes.
        if (isPath || v.Host.empty()) {
            if (!isPath && !v.Port.empty())
                docPort_ = v.Port;
            const std::string authority =
                targetHost_ + (docPort_ == "80" ? std::string() : ":" + docPort_);
            path_ = scheme + "://" + authority + (v.Path.empty() ? std::string("/") : v.Path);
        } else if (bareName) {
            path_ = scheme + "://" + docAuthority + "/" + v.Host;
        } else {
            targetHost_ = v.Host;
            docPort_ = v.Port.empty() ? "80" : v.Port;
            path_ = scheme + "://" + v.Host + (v.Port.empty() ? std::string() : ":" + v.Port) +
                    (v.Path.empty() ? std::string("/") : v.Path);
        }
    } else if (isPath) {
        path_ = location;
    } else if (bareName) {
        hostName_ = targetHost_;
        path_ = scheme + "://" + targetHost_ + "/" + v.Host;
    } else if (v.Host.empty()) {
        hostName_ = targetHost_;
        path_ = scheme + "://" + targetHost_ + v.Path;
        if (!v.Port.empty())
            port_ = docPort_ = v.Port;  // the same host on another port is another origin
    } else {
        // Another server: connect there, name it in "Host: " and ask for its path. A URL with a
        // scheme and no port means the scheme's default port, not the old server's port.
        hostName_ = v.Host;
        targetHost_ = v.Host;
        if (!v.Port.empty())
            port_ = v.Port;
        else if (hasScheme)
            port_ = "80";
        docPort_ = port_;
        path_ = v.Path.empty() ? std::string("/") : v.Path;
    }
    if (path_.empty())
        path_ = "/";
    currentUrl_ = path_;
    // Credentials belong to the server they were configured for.
    if (platform::AsciiLower(targetHost_) != origHost_ || docPort_ != origPort_)
        sendCredentials_ = false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Kept connections

bool THttpCli::KeepsConnections() const noexcept
{
    return keepAlive_.count() > 0 && proxy_.empty();
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
    kept_ = true;
    keptKey_ = {hostName_, port_, chain_.Top().Encrypted()};
    parser_.StartNextResponse();
    const auto ms = std::clamp<long long>(keepAlive_.count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kKeptTimerId, static_cast<unsigned>(ms));
    EndRequest(false);
}

// The request just prepared goes out on the kept connection when that leads where the request
// goes, over the same transport; a kept connection to elsewhere is closed. False when a new
// connection is to be made.
bool THttpCli::ReuseKeptConnection()
{
    if (!kept_)
        return false;
    if (!chain_.End()->Connected() || !KeepsConnections() || hostName_ != keptKey_.host || port_ != keptKey_.port ||
        transport_.tls != keptKey_.tls || KeptConnectionSpoke()) {
        DropKeptConnection();
        return false;
    }
    kept_ = false;
    platform::KillTimer(window_, kKeptTimerId);
    onKeptConnection_ = true;
    BeginExchange();
    return true;
}

void THttpCli::DropKeptConnection()
{
    if (!kept_)
        return;
    kept_ = false;
    connected_ = false;
    platform::KillTimer(window_, kKeptTimerId);
    parser_.Reset();
    closingKept_ = true;
    chain_.End()->Close();
    closingKept_ = false;
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
    if (!onKeptConnection_ || Over() || requestDoneError_ != 0 || AnythingReceived() || parser_.Buffered() > 0)
        return false;
    onKeptConnection_ = false;
    kept_ = true;  // closed here like a kept connection: its report ends nothing
    DropKeptConnection();
    platform::PostMessage(window_, MsgRestart, 0, 0);
    return true;
}

// ---------------------------------------------------------------------------------------------
// State, messages and the progress bound

void THttpCli::SetState(THttpCliState state)
{
    if (state_ == state)
        return;
    state_ = state;
    const TLivenessToken alive = LivenessToken();
    fire(OnStateChange, *this);
    if (alive.expired())
        return;
    if (state == hsReady)
        platform::PostMessage(window_, MsgRequestDone, static_cast<platform::WPARAM>(requestType_),
                              static_cast<platform::LPARAM>(requestDoneError_));
}

void THttpCli::Restart()
{
    if (state_ == hsReady)
        return;
    parser_.Reset();
    onKeptConnection_ = false;  // a new connection from here on
    allowedToSend_ = false;
    holdSends_ = false;
    heldSends_.clear();
    BeginResolving();
}

platform::LRESULT THttpCli::WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM lParam)
{
    switch (message) {
    case MsgRequestDone:
        if (OnRequestDone)
            OnRequestDone(*this, static_cast<THttpRequest>(wParam), static_cast<std::uint16_t>(lParam));
        return 0;
    case MsgSetIdle:
        platform::KillTimer(window_, kProgressTimerId);
        platform::KillTimer(window_, kRequestTimerId);
        timerArmed_ = false;
        SetPhase(TRequestPhase::Idle);
        SetState(hsReady);
        return 0;
    case MsgRestart:
        Restart();
        return 0;
    case platform::WM_TIMER:
        if (wParam == kProgressTimerId)
            CheckProgress();
        else if (wParam == kRequestTimerId)
            RequestTimedOut();
        else if (wParam == kKeptTimerId && Over())
            DropKeptConnection();  // idle too long: give the server its slot back
        return 0;
    default:
        return 0;
    }
}

void THttpCli::NoteProgress()
{
    lastProgress_ = std::chrono::steady_clock::now();
}

void THttpCli::ArmProgressTimer()
{
    NoteProgress();
    if (noProgressTimeout_.count() <= 0) {
        if (timerArmed_)
            platform::KillTimer(window_, kProgressTimerId);
        timerArmed_ = false;
        return;
    }
    const auto ms = std::clamp<long long>(noProgressTimeout_.count(), 1, 0x7FFFFFFF);
    timerArmed_ = platform::SetTimer(window_, kProgressTimerId, static_cast<unsigned>(ms));
}

void THttpCli::ArmRequestTimer()
{
    platform::KillTimer(window_, kRequestTimerId);
    if (requestTimeout_.count() <= 0)
        return;
    const auto ms = std::clamp<long long>(requestTimeout_.count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kRequestTimerId, static_cast<unsigned>(ms));
}

// Every byte restarts the progress bound, so a server that trickles would hold the request
// forever without this one.
void THttpCli::RequestTimedOut()
{
    platform::KillTimer(window_, kRequestTimerId);
    NetworkFailure(kTimedOut, "HTTP request took longer than " + DurationText(requestTimeout_));
}

// The timer is set for the whole bound from the last progress seen when it was armed; when it
// fires, either nothing has happened since (the request times out) or it is set again for what
// is left of the bound counted from the latest progress.
void THttpCli::CheckProgress()
{
    if (Over() || noProgressTimeout_.count() <= 0) {
        platform::KillTimer(window_, kProgressTimerId);
        timerArmed_ = false;
        return;
    }
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - lastProgress_);
    if (idle >= noProgressTimeout_) {
        platform::KillTimer(window_, kProgressTimerId);
        timerArmed_ = false;
        if (const THttpFilter* opening = chain_.Opening(); opening != nullptr && !opening->StalledText(idle).empty())
            RecordFailure(kTimedOut, 404, opening->StalledText(idle));
        NetworkFailure(kTimedOut, ErrorText(kTimedOut));
        return;
    }
    const auto left = std::clamp<long long>((noProgressTimeout_ - idle).count(), 1, 0x7FFFFFFF);
    platform::SetTimer(window_, kProgressTimerId, static_cast<unsigned>(left));
}

// ---------------------------------------------------------------------------------------------
// Event triggers

void THttpCli::TriggerCookie(const std::string& data, bool& accept) { fire(OnCookie, *this, data, accept); }
void THttpCli::TriggerSessionConnected() { fire(OnSessionConnected, *this); }
void THttpCli::TriggerRequestHeaderBegin() { fire(OnRequestHeaderBegin, *this); }
void THttpCli::TriggerRequestHeaderEnd() { fire(OnRequestHeaderEnd, *this); }
void THttpCli::TriggerHeaderBegin() { fire(OnHeaderBegin, *this); }
void THttpCli::TriggerHeaderEnd() { fire(OnHeaderEnd, *this); }
void THttpCli::TriggerDocBegin() { fire(OnDocBegin, *this); }
void THttpCli::TriggerDocData(const char* buffer, std::int32_t len) { fire(OnDocData, *this, buffer, len); }
void THttpCli::TriggerDocEnd() { fire(OnDocEnd, *this); }
void THttpCli::TriggerSendBegin() { fire(OnSendBegin, *this); }
void THttpCli::TriggerSendData(const char* buffer, std::int32_t len) { fire(OnSendData, *this, buffer, len); }
void THttpCli::TriggerSendEnd() { fire(OnSendEnd, *this); }

}  // namespace quenlo
