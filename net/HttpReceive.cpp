// THttpCli receiving: the connection's bytes go to the response parser, and what it makes of
// them (status line, header fields, body blocks) drives the request.
#include "net/HttpProt.h"
#include "net/HttpTls.h"
#include "platform/Text.h"
#include "platform/Tls.h"

#include <algorithm>
#include <cstring>
#include <ostream>

namespace quenlo {

void THttpCli::ChainReadable()
{
    if (Over() && kept_.state == TKeptState::Waiting) {
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
    if (replyStatus_ == 426 && !chain_.Top().Encrypted() && chain_.End()->CanEncrypt() && opt_.encryption != heNever &&
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
            opt_.contentRangeBegin = begin;
            opt_.contentRangeEnd = end;
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
    if (opt_.maxReplyLength <= 0 || length <= opt_.maxReplyLength)
        return true;
    Fail(HttpError::ReplyTooLarge, HttpError::ReplyTooLarge.text + (" " + std::to_string(opt_.maxReplyLength) + " bytes"));
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

}  // namespace quenlo
