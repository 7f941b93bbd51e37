#include "net/HttpParser.h"

#include "net/ErrorCodes.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>

namespace quenlo {

namespace {

// A whole decimal number with optional leading blanks and sign, as the content length is
// written; false for anything else or a value beyond int64.
bool ParseInteger(const std::string& text, std::int64_t& value)
{
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    if (i >= text.size())
        return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        if (v > (INT64_MAX - 9) / 10)
            return false;
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

// The status code of a status line, "HTTP/1.x NNN reason": exactly three digits, then the end or
// a blank. -1 for anything else.
int StatusCodeOf(const std::string& line)
{
    const auto digit = [&](std::size_t i) { return line[i] >= '0' && line[i] <= '9'; };
    if (line.size() < 12 || line[8] != ' ' || !digit(9) || !digit(10) || !digit(11) ||
        (line.size() > 12 && line[12] != ' '))
        return -1;
    return (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
}

// True when a "transfer-encoding" value ends in the chunked coding (the last coding applied is
// the one that frames the body).
bool EndsChunked(const std::string& value)
{
    const std::size_t comma = value.rfind(',');
    std::string last = platform::AsciiLower(value.substr(comma == std::string::npos ? 0 : comma + 1));
    const std::size_t first = last.find_first_not_of(" \t");
    last = first == std::string::npos ? std::string() : HeaderValueTrimmed(last.substr(first));
    return last == "chunked";
}

}  // namespace

std::string HeaderValueTrimmed(const std::string& value)
{
    const std::size_t end = value.find_last_not_of(" \t");
    return end == std::string::npos ? std::string() : value.substr(0, end + 1);
}

void THttpResponseParser::Reset() noexcept
{
    start_ = 0;
    count_ = 0;
    StartNextResponse();
}

void THttpResponseParser::StartNextResponse() noexcept
{
    lineBody_ = {};
    block_ = {};
    part_ = Part::Header;
    status_ = 0;
    reason_.clear();
    keeps_ = false;
    BeginResponse();
}

// A new status line: nothing of an earlier response (an interim one) frames this one.
void THttpResponseParser::BeginResponse() noexcept
{
    length_ = -1;
    lengthSeen_ = false;
    chunked_ = false;
    bodyReceived_ = 0;
    chunkPart_ = ChunkPart::Size;
    chunkLeft_ = 0;
    chunkDigits_ = 0;
    chunkLineLength_ = 0;
}

std::span<char> THttpResponseParser::Room() noexcept
{
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, count_ - start_);
        count_ -= start_;
        start_ = 0;
    }
    return {buffer_.data() + count_, buffer_.size() - count_};
}

void THttpResponseParser::Received(std::size_t n) noexcept
{
    count_ += std::min(n, buffer_.size() - count_);
}

void THttpResponseParser::FeedBody(const char* data, std::size_t size) noexcept
{
    block_ = {data, size};
}

bool THttpResponseParser::Complete() const noexcept
{
    if (part_ != Part::Body)
        return false;
    if (chunked_)
        return chunkPart_ == ChunkPart::Done;
    return length_ >= 0 && bodyReceived_ >= length_;
}

std::size_t THttpResponseParser::BodyLeft() const noexcept
{
    constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (length_ < 0 || Complete())
        return most;
    return static_cast<std::size_t>(std::min<std::int64_t>(length_ - bodyReceived_, static_cast<std::int64_t>(most)));
}

THttpEvent THttpResponseParser::Next()
{
    switch (part_) {
    case Part::Header: return NextLine();
    case Part::Body: return NextBody();
    case Part::Failed: break;
    }
    return {};
}

// Cuts the next whole line off the buffer; a partial line waits for more bytes.
THttpEvent THttpResponseParser::NextLine()
{
    const char* base = buffer_.data() + start_;
    const std::size_t have = count_ - start_;
    const void* lf = have == 0 ? nullptr : std::memchr(base, '\n', have);
    if (lf == nullptr)
        return {};
    const auto lineEnd = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
    std::size_t lineLen = lineEnd;
    if (lineLen > 0 && base[lineLen - 1] == '\r')
        --lineLen;
    line_.assign(base, lineLen);
    start_ += lineEnd + 1;
    return ClassifyLine();
}

THttpEvent THttpResponseParser::ClassifyLine()
{
    if (platform::AsciiUpper(line_.substr(0, 6)) == "<HTML>") {
        // No header at all: this line, as it stands, is the first piece of the document.
        part_ = Part::Body;
        lineBody_ = line_;
        return {THttpEvent::NoHeader, line_};
    }
    if (line_.empty())
        return EndOfHeader();
    // A NUL ends the line for many a reader: what a header says around it is not to be trusted.
    if (line_.find('\0') != std::string::npos) {
        part_ = Part::Failed;
        return {THttpEvent::Failed, line_, HttpError::BadHeader};
    }
    if (line_.compare(0, 8, "HTTP/1.0") == 0 || line_.compare(0, 8, "HTTP/1.1") == 0) {
        status_ = StatusCodeOf(line_);
        if (status_ >= 0)
            BeginResponse();
        reason_ = line_.size() > 13 ? line_.substr(13) : std::string();
        keeps_ = line_.compare(0, 8, "HTTP/1.1") == 0;
        return {THttpEvent::StatusLine, line_};
    }
    if (line_.find(':') == std::string::npos)
        return {THttpEvent::OtherLine, line_};
    return {THttpEvent::HeaderField, line_, ReadField()};
}

// Takes in the field of line_; the error code when it contradicts what the header said before.
std::uint16_t THttpResponseParser::ReadField()
{
    const std::size_t colon = line_.find(':');
    name_ = platform::AsciiLower(line_.substr(0, colon));
    value_ = line_.size() > colon + 2 ? line_.substr(colon + 2) : std::string();
    if (name_ == "content-length") {
        std::int64_t length = 0;
        const std::int64_t announced = ParseInteger(value_, length) && length >= 0 ? length : -1;
        // Two different lengths leave no way to tell where the body ends.
        if (lengthSeen_ && announced != length_)
            return HttpError::ConflictingLength;
        lengthSeen_ = true;
        length_ = announced;
    } else if (name_ == "transfer-encoding") {
        chunked_ = EndsChunked(value_);
    } else if (name_ == "connection") {
        if (platform::AsciiLower(value_).find("close") != std::string::npos)
            keeps_ = false;
    }
    return 0;
}

// A 1xx answer ("100 Continue", "102 Processing") only says the real one is coming: its header is
// dropped and the next status line is the answer.
THttpEvent THttpResponseParser::EndOfHeader()
{
    if (status_ >= 100 && status_ < 200) {
        status_ = 0;
        BeginResponse();
        return {THttpEvent::InterimEnd, {}};
    }
    // The chunks say where the body ends; a "content-length" beside them means nothing.
    if (chunked_)
        length_ = -1;
    part_ = Part::Body;
    return {THttpEvent::HeaderEnd, {}};
}

// Body bytes from where they stand: the "<HTML>" line, then the line buffer, then a block.
THttpEvent THttpResponseParser::NextBody()
{
    if (!lineBody_.empty())
        return FrameBody(lineBody_);
    if (Buffered() > 0) {
        std::string_view buffered(buffer_.data() + start_, Buffered());
        const THttpEvent e = FrameBody(buffered);
        start_ = count_ - buffered.size();
        if (e.kind != THttpEvent::NeedBytes)
            return e;
    }
    return block_.empty() ? THttpEvent{} : FrameBody(block_);
}

// The next body bytes of `input` (consumed from it) under the framing; NeedBytes once the
// response is complete, leaving what follows it in `input`.
THttpEvent THttpResponseParser::FrameBody(std::string_view& input)
{
    while (!input.empty() && !Complete()) {
        std::size_t n = input.size();
        if (chunked_) {
            if (chunkPart_ != ChunkPart::Data) {
                if (!StepChunkFraming(input.front())) {
                    part_ = Part::Failed;
                    return {THttpEvent::Failed, {}, HttpError::BadChunk};
                }
                input.remove_prefix(1);
                continue;
            }
            n = static_cast<std::size_t>(std::min<std::uint64_t>(chunkLeft_, n));
            chunkLeft_ -= n;
            if (chunkLeft_ == 0)
                chunkPart_ = ChunkPart::DataEnd;
        } else if (length_ >= 0) {
            // Bytes past the announced length belong to whatever follows this response.
            n = static_cast<std::size_t>(std::min<std::int64_t>(length_ - bodyReceived_, static_cast<std::int64_t>(n)));
        }
        std::string_view body = input.substr(0, n);
        input.remove_prefix(n);
        // A length beside the chunks (after a "<HTML>" line only) still bounds them.
        if (chunked_ && length_ >= 0)
            body = body.substr(0, static_cast<std::size_t>(length_ - bodyReceived_));
        bodyReceived_ += static_cast<std::int64_t>(body.size());
        return {THttpEvent::Body, body};
    }
    return {};
}

// One byte of the framing around a chunk's data; false when it cannot stand there.
bool THttpResponseParser::StepChunkFraming(char c)
{
    // A size line or trailer line longer than a header line may be is no framing.
    const auto countLine = [&] { return ++chunkLineLength_ <= kLineRoom; };
    const auto sizeLineEnded = [&] {
        chunkLineLength_ = 0;
        chunkPart_ = chunkLeft_ == 0 ? ChunkPart::Trailer : ChunkPart::Data;
        return true;
    };
    switch (chunkPart_) {
    case ChunkPart::Size: {
        const int digit = platform::HexDigitValue(c);
        if (digit >= 0) {
            // Fifteen hex digits are far beyond any reply bound and still fit the counter.
            if (++chunkDigits_ > 15)
                return false;
            chunkLeft_ = chunkLeft_ * 16 + static_cast<unsigned>(digit);
            return countLine();
        }
        if (chunkDigits_ == 0)
            return false;
        if (c == ';' || c == ' ' || c == '\t') {
            chunkPart_ = ChunkPart::Extension;
            return countLine();
        }
        if (c == '\r') {
            chunkPart_ = ChunkPart::SizeEnd;
            return true;
        }
        return c == '\n' && sizeLineEnded();
    }
    case ChunkPart::Extension:
        if (c == '\n')
            return sizeLineEnded();
        return countLine();
    case ChunkPart::SizeEnd:
        return c == '\n' && sizeLineEnded();
    case ChunkPart::DataEnd:
        if (c == '\r' && chunkLineLength_ == 0) {
            chunkLineLength_ = 1;
            return true;
        }
        if (c != '\n')
            return false;
        chunkPart_ = ChunkPart::Size;
        chunkLeft_ = 0;
        chunkDigits_ = 0;
        chunkLineLength_ = 0;
        return true;
    case ChunkPart::Trailer:
        if (c == '\n') {
            if (chunkLineLength_ == 0)
                chunkPart_ = ChunkPart::Done;
            chunkLineLength_ = 0;
            return true;
        }
        return c == '\r' || countLine();
    case ChunkPart::Data:
    case ChunkPart::Done:
        break;
    }
    return true;
}

// ---- The answer to CONNECT ---------------------------------------------------------------------

void THttpConnectReply::Reset() noexcept
{
    parser_.Reset();
    firstLine_.clear();
    lineSeen_ = false;
    received_ = 0;
}

THttpConnectReply::TOutcome THttpConnectReply::Received(std::size_t n)
{
    parser_.Received(n);
    received_ += n;
    for (THttpEvent e = parser_.Next(); e.kind != THttpEvent::NeedBytes; e = parser_.Next()) {
        if (!lineSeen_) {
            lineSeen_ = true;
            firstLine_.assign(e.text);
        }
        switch (e.kind) {
        case THttpEvent::HeaderEnd: return parser_.Status() == 200 ? TOutcome::Opened : TOutcome::Refused;
        // An interim answer, a page without a header, a broken line: nothing a tunnel opens on.
        case THttpEvent::InterimEnd:
        case THttpEvent::NoHeader:
        case THttpEvent::Failed:
        case THttpEvent::Body: return TOutcome::Refused;
        default: break;
        }
    }
    return received_ > kLimit || parser_.Room().empty() ? TOutcome::TooLong : TOutcome::Waiting;
}

}  // namespace quenlo
