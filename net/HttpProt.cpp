// THttpCli as a component: construction, the blocking calls, the start and the one end of a
// request, its state and messages, and the event triggers. Composing a request, receiving the
// answer and the connection live in net/HttpRequest.cpp, net/HttpReceive.cpp and
// net/HttpConnection.cpp.
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
    : TComponent(owner), socket_(std::make_unique<TWSocket>(this))
{
    opt_.trustStorePath = DefaultTrustStorePath();
    opt_.strictTrust = StrictTrustByDefault();
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
    opt_.multiThreaded = v;
    socket_->SetMultiThreaded(v);
}

void THttpCli::SetOptions(TOptions v)
{
    opt_ = std::move(v);
    socket_->SetMultiThreaded(opt_.multiThreaded);
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
    const bool terminated = opt_.multiThreaded && socket_->ThreadTerminated();
    if (terminated || platform::WaitUntil(ready) == platform::WaitEnd::Quit) {
        if (opt_.multiThreaded && !alive.expired())
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
    ReuseOrConnect();
}

void THttpCli::StartOffline(THttpRequest rq)
{
    PrepareRequest(rq);
    if (RefuseUnsafeRequest())
        return;
    UseEnd(true);
    ReuseOrConnect();
}

// ---------------------------------------------------------------------------------------------
// Socket events

// The one way a request ends, whatever ended it: the outcome recorded first stands, every socket
// event from here on is ignored, and hsReady follows from the event loop.
void THttpCli::EndRequest(bool stopNetwork)
{
    if (Over())
        return;
    SetPhase(TRequestPhase::Ended);
    if (stopNetwork && chain_.End() != nullptr)
        chain_.End()->Stop();  // it reports nothing back, since the request has ended
    if (kept_.state != TKeptState::Waiting)
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
    if (kept_.state == TKeptState::InUse)
        kept_.state = TKeptState::None;  // a new connection from here on
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
