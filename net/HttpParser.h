// THttpResponseParser: one HTTP/1.x response read from bytes handed to it: the status line, the
// header lines, and a body framed by "content-length", the chunked coding, or the connection's
// close. It does no I/O, runs no loop and calls nobody: its driver (THttpCli) hands it bytes and
// then asks for what they hold, one event at a time, so a handler the driver runs between two
// events may even destroy the driver without the parser being in the middle of anything.
//
//     parser.Reset();
//     std::span<char> room = parser.Room();         // receive into it (empty: a line too long)
//     parser.Received(n);
//     for (THttpEvent e; (e = parser.Next()).kind != THttpEvent::NeedBytes;) { ... }
//
// Body bytes read elsewhere (a large block, a reply stream's own room) are handed with FeedBody
// once the header is behind; the parser then only frames them (Body events point into them).
//
// A response's end is exact: body bytes never run past the announced length or the last chunk's
// trailer, and what follows in the line buffer stays unread (Buffered()), so the next response on
// the same connection can be read after StartNextResponse(). (What follows the end inside a
// FeedBody block is its driver's to keep.)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

namespace quenlo {

struct THttpEvent {
    enum Kind : std::uint8_t {
        NeedBytes,    // everything handed over is used up
        StatusLine,   // text: the line; status -1 when "HTTP/1.x" is not followed by three digits
        HeaderField,  // text: the line "name: value"; error: ConflictingLength for a second,
                      // different length
        OtherLine,    // text: a header line that is neither
        NoHeader,     // text: a line starting "<HTML>": no header at all, the body starts with it
        InterimEnd,   // the empty line after a 1xx answer's header: the next status line follows
        HeaderEnd,    // the empty line after the header: the body follows
        Body,         // text: body bytes (in the line buffer, or in the block given to FeedBody)
        Failed,       // error: BadChunk, or BadHeader for a header line holding a NUL byte (the
                      // parser then hands out nothing more)
    };
    Kind kind = NeedBytes;
    std::string_view text;
    std::uint16_t error = 0;
};

// Without the blanks and tabs a sender may leave after a header value.
std::string HeaderValueTrimmed(const std::string& value);

class THttpResponseParser {
public:
    // A header line (and a chunk size or trailer line) must fit in this many bytes.
    static constexpr std::size_t kLineRoom = 8192;

    // Forgets everything: a fresh response, nothing buffered.
    void Reset() noexcept;
    // The response has ended; the bytes after it (in the line buffer) start the next one.
    void StartNextResponse() noexcept;

    // Free room of the line buffer after the bytes still unread; empty when a line fills it all.
    std::span<char> Room() noexcept;
    // `n` bytes were written to the start of Room().
    void Received(std::size_t n) noexcept;
    // A block of body bytes to frame; it must stay untouched until Next() says NeedBytes.
    void FeedBody(const char* data, std::size_t size) noexcept;

    // What the bytes handed over hold next.
    THttpEvent Next();

    // ---- What the response has said so far ----
    int Status() const noexcept { return status_; }      // 0 until a status line
    // What follows the status code on the status line ("OK" of "HTTP/1.1 200 OK"); empty when none.
    const std::string& Reason() const noexcept { return reason_; }
    // The server lets the connection carry another response: the status line said HTTP/1.1 and
    // no "connection" field said close.
    bool KeepsConnection() const noexcept { return keeps_; }
    const std::string& Name() const noexcept { return name_; }    // of the last field, lower case
    const std::string& Value() const noexcept { return value_; }  // of the last field
    std::int64_t ContentLength() const noexcept { return length_; }  // -1 when none (or chunked)
    bool Chunked() const noexcept { return chunked_; }
    // Both "content-length" and the chunked coding framed this response: the chunks rule, but a
    // sender and a proxy may have read it apart, so the connection cannot carry another one.
    bool FramedTwice() const noexcept { return chunked_ && lengthSeen_; }
    bool InBody() const noexcept { return part_ == Part::Body; }
    // The announced length, or the last chunk's trailer, has arrived.
    bool Complete() const noexcept;
    // Body bytes still to come under the announced length; the most an int holds when unknown.
    std::size_t BodyLeft() const noexcept;
    std::int64_t BodyReceived() const noexcept { return bodyReceived_; }
    // Bytes in the line buffer not yet read (a partial line, or what follows a whole response).
    std::size_t Buffered() const noexcept { return count_ - start_; }

private:
    enum class Part : std::uint8_t { Header, Body, Failed };
    // Where a chunked body stands between reads: in a size line (its digits, then an extension
    // and its line end), in a chunk's data, at the line end after the data, in the trailer, or
    // past the last chunk.
    enum class ChunkPart : std::uint8_t { Size, Extension, SizeEnd, Data, DataEnd, Trailer, Done };

    void BeginResponse() noexcept;
    THttpEvent NextLine();
    THttpEvent ClassifyLine();
    std::uint16_t ReadField();
    THttpEvent EndOfHeader();
    THttpEvent NextBody();
    THttpEvent FrameBody(std::string_view& input);
    bool StepChunkFraming(char c);

    std::array<char, kLineRoom> buffer_{};
    std::size_t start_ = 0;  // first unread byte
    std::size_t count_ = 0;  // end of the bytes received
    std::string line_;       // the line of the last line event; the first body bytes of NoHeader
    std::string_view lineBody_;   // what of line_ is still to go out as body
    std::string_view block_;      // what of the FeedBody block is still to be framed
    Part part_ = Part::Header;
    int status_ = 0;
    std::string reason_;
    bool keeps_ = false;
    std::string name_;
    std::string value_;
    std::int64_t length_ = -1;
    bool lengthSeen_ = false;
    bool chunked_ = false;
    std::int64_t bodyReceived_ = 0;
    ChunkPart chunkPart_ = ChunkPart::Size;
    std::uint64_t chunkLeft_ = 0;      // of the chunk being read
    std::size_t chunkDigits_ = 0;      // size digits so far
    std::size_t chunkLineLength_ = 0;  // bytes of the extension or trailer line so far
};

// A proxy's answer to CONNECT, read with the response parser: a header, and nothing after it
// until the tunnel's first bytes go out.
class THttpConnectReply {
public:
    // An answer whose header runs longer than this opens no tunnel.
    static constexpr std::size_t kLimit = 8192;
    enum class TOutcome : std::uint8_t { Waiting, Opened, Refused, TooLong };

    void Reset() noexcept;
    std::span<char> Room() noexcept { return parser_.Room(); }
    // `n` bytes were written to the start of Room(): what the answer says so far.
    TOutcome Received(std::size_t n);
    // The answer's first line (its status line when it has one); empty before one.
    const std::string& FirstLine() const noexcept { return firstLine_; }

private:
    THttpResponseParser parser_;
    std::string firstLine_;
    bool lineSeen_ = false;
    std::size_t received_ = 0;
};

}  // namespace quenlo
