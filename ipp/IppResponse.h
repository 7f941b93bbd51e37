// Reading IPP response bodies: the 8-byte response header, single attributes, and the walk over a
// whole body that hands every attribute and every group delimiter to the caller, plus the texts of
// the job and printer state values.
//
// Every reader is bounded by the body it is given: nothing is ever read outside it. Bytes that a
// cut-short body does not hold read as zero, so a truncated header, length or value comes out as if
// the missing bytes were 0x00; the walk ends at the next tag read, which finds no byte.
#pragma once

#include "ipp/IppRequest.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quenlo {

// A read position over a received body (the body is not copied and must outlive the stream).
class IppResponseStream {
public:
    explicit IppResponseStream(std::string_view body) : body_(body) {}

    std::size_t Size() const { return body_.size(); }
    std::size_t Position() const { return pos_; }
    void SeekToStart() { pos_ = 0; }
    std::size_t Remaining() const { return body_.size() - pos_; }

    // Delivers up to n bytes into dst (at most the bytes left), advances past them and returns how
    // many were delivered: 0 at the end of the body, and for a negative n.
    std::size_t Read(char* dst, long n)
    {
        const std::size_t count = Take(n);
        if (count != 0)
            std::memcpy(dst, body_.data() + pos_ - count, count);
        return count;
    }
    // Like Read, but gives the bytes as a view into the body instead of copying them.
    std::string_view ReadView(long n)
    {
        const std::size_t count = Take(n);
        return body_.substr(pos_ - count, count);
    }
    // The next byte, or nothing at the end of the body.
    std::optional<std::uint8_t> ReadByte()
    {
        if (pos_ >= body_.size())
            return std::nullopt;
        return static_cast<std::uint8_t>(body_[pos_++]);
    }

    // 128 KiB of scratch space for the attribute reader, made once per stream on first need: the
    // first half holds a name, the second a value (either is at most 65535 bytes long).
    char* Scratch();

private:
    std::size_t Take(long n)
    {
        if (n <= 0)
            return 0;
        const std::size_t count = std::min(static_cast<std::size_t>(n), body_.size() - pos_);
        pos_ += count;
        return count;
    }

    std::string_view body_;
    std::size_t pos_ = 0;
    std::unique_ptr<char[]> scratch_;
};

// The 8 bytes at the start of every response:
//   version-number   2 bytes   major, minor
//   status-code      2 bytes   big-endian
//   request-id       4 bytes   big-endian
struct IppResponseHeader {
    std::uint8_t versionMajor = 0;
    std::uint8_t versionMinor = 0;
    std::uint16_t statusCode = 0;
    std::int32_t requestId = 0;
};

// Status-codes by their RFC keywords, as far as the program names them.
enum IppStatusCode : std::uint16_t {
    kIppStatusOkIgnoredOrSubstituted = 0x0001,   // successful-ok-ignored-or-substituted-attributes
    kIppStatusForbidden = 0x0401,                // client-error-forbidden
    kIppStatusNotAuthenticated = 0x0402,         // client-error-not-authenticated
    kIppStatusNotAuthorized = 0x0403,            // client-error-not-authorized
    kIppStatusNotPossible = 0x0404,              // client-error-not-possible
    kIppStatusNotFound = 0x0406,                 // client-error-not-found
    kIppStatusOperationNotSupported = 0x0501,    // server-error-operation-not-supported
};

// The successful class, 0x0000 to 0x00FF: successful-ok and its variants that still carried the
// request out (ignored or substituted attributes, conflicting attributes, ...). The one rule for
// every answer the program judges.
constexpr bool IsSuccessfulIppStatus(std::uint16_t code) noexcept { return code <= 0x00FF; }

// What a walk learned of an answer as a whole, beside its attributes.
struct IppAnswerStatus {
    // A header of IPP version 1 or 2 and the end-of-attributes tag were read: not an HTML page, not
    // a body cut short.
    bool complete = false;
    std::uint16_t statusCode = 0;
    // The first "status-message" of the operation attributes; empty when the server sent none.
    std::string statusMessage;

    // A complete answer whose request was carried out.
    bool Succeeded() const noexcept { return complete && IsSuccessfulIppStatus(statusCode); }
};

// Seeks to the start and reads the header, leaving the position at offset 8 (or at the end of a
// shorter body, whose missing header bytes read as zero).
IppResponseHeader ReadResponseHeader(IppResponseStream& stream);

// One attribute as the reader takes it apart. The views point into the body or into the stream's
// scratch space and stay valid until the next ReadAttribute on the same stream.
struct IppAttribute {
    std::string_view name;
    // The value's bytes for a tag above 0x26 (string and binary syntaxes); empty otherwise.
    std::string_view text;
    // The first four value bytes (missing ones read as zero): most significant first for the tags
    // 0x20 to 0x26 (integer, boolean, enum: a 4-byte integer reads as its number, boolean true as
    // 0x01000000), least significant first for every other tag.
    std::int32_t integer = 0;
    // False for an integer or enum (tags 0x21, 0x23) whose value is not 4 bytes long: `integer`
    // then holds no number the sender meant, and a reader takes the attribute as not sent.
    bool number = true;
};

// Reads the rest of one attribute whose value tag (sign-extended from its byte) the caller has read:
//   name-length    2 bytes   unsigned big-endian; 0 marks an additional value of the previous attribute
//   name           name-length bytes
//   value-length   2 bytes   unsigned big-endian
//   value          value-length bytes
// Lengths are unsigned as on the wire, 0 to 65535 (the request writer writes them so too): a long
// job name must not swallow the rest of the answer. A name or value that the body cuts short keeps
// its declared length, the missing bytes being zero.
IppAttribute ReadAttribute(IppResponseStream& stream, int tag);

// Called for each attribute of a walk, with the name turned into small letters (ASCII A to Z only)
// and the value unchanged. The views are valid during the call only.
using IppAttributeHandler = std::function<void(const IppAttribute& attribute)>;
// Called for each group delimiter tag that the walk reads after the first group tag, end tag
// 0x03 included.
using IppDelimiterHandler = std::function<void(int tag)>;

// Delimiter limits of the two walks: a tag byte at or below the limit (compared as a signed 8-bit
// number, so 0x80 to 0xFF always) is a group delimiter, any other a value tag. In the job walk the
// printer-attributes (0x04) and unsupported-attributes (0x05) group tags are delimiters too, so such
// a group in a Get-Jobs answer closes the job before it instead of being misread as an attribute;
// the printer walk takes every tag from 0x01 to 0x0A as a delimiter.
inline constexpr int kIppJobWalkDelimiterLimit = 0x05;
inline constexpr int kIppPrinterWalkDelimiterLimit = 0x0A;

// Walks a whole response body:
//  1. a body of 10 bytes or fewer is not read: no handler is called and the result is empty;
//  2. the header is read (and returned; the walk does not judge it);
//  3. the tag of the first group is read and not passed on;
//  4. until a 0x03 tag has been read or no byte is left: one tag is read; a tag above
//     `delimiterLimit` is followed by one attribute, given to onAttribute; any other tag goes to
//     onDelimiter (the end tag 0x03 too, just before the walk ends).
// Either handler may be empty. The walk never throws on bad bytes and always ends: every turn of
// its loop consumes at least one byte.
std::optional<IppResponseHeader> WalkResponse(std::string_view body, int delimiterLimit,
                                              const IppAttributeHandler& onAttribute,
                                              const IppDelimiterHandler& onDelimiter);

// The same walk over a body that arrives in pieces, so the body need not be kept whole: Walk takes
// the attributes and delimiters that the bytes hold in full and says how many bytes it used; the
// caller keeps the rest and gives it again, followed by the next bytes. Finish walks what is left
// at the end of the body as WalkResponse walks a body cut short. Whatever the pieces, the handlers
// see exactly what WalkResponse over the whole body gives them.
class IppWalker {
public:
    IppWalker(int delimiterLimit, IppAttributeHandler onAttribute, IppDelimiterHandler onDelimiter);

    // `bytes` starts with the bytes the last call did not use. After the end tag every byte is
    // used (and not looked at).
    std::size_t Walk(std::string_view bytes) { return Step(bytes, false); }
    // The body has ended with `rest` (what the last Walk did not use).
    void Finish(std::string_view rest);

    // The header, once more than 10 bytes have come.
    const std::optional<IppResponseHeader>& Header() const noexcept { return header_; }
    // The answer's status as walked so far; complete only once the end tag has been read.
    IppAnswerStatus Status() const;

private:
    enum class Stage { Header, Items, Done };
    std::size_t Step(std::string_view bytes, bool atEnd);
    bool IsStatusMessage(const IppAttribute& attribute) const;
    void NoteStatusMessage(const IppAttribute& attribute);

    int delimiterLimit_;
    IppAttributeHandler onAttribute_;
    IppDelimiterHandler onDelimiter_;
    Stage stage_ = Stage::Header;
    std::optional<IppResponseHeader> header_;
    int group_ = 0;  // the tag of the group being walked
    bool endTagRead_ = false;
    bool statusMessageSeen_ = false;
    std::string statusMessage_;
};

// The status of a whole answer body (walked like a Get-Printer-Attributes answer, handing nothing
// on).
IppAnswerStatus ReadAnswerStatus(std::string_view body);

// --- Value texts -------------------------------------------------------------------------------

// "job-state" 3 to 9: "pending", "pending-held", "processing", "processing-stopped", "canceled",
// "aborted", "completed"; empty for any other value (the job list then shows the state reasons).
std::string_view JobStateText(std::int32_t state);
// "printer-state" 3, 4, 5: "idle", "processing", "stopped"; "unknown" for any other value.
std::string_view PrinterStateText(std::int32_t state);
// "printer-is-accepting-jobs" by its integer value: ", rejecting jobs" for 0, ", accepting jobs"
// for any other (a boolean true reads as 16777216).
std::string_view AcceptingJobsText(std::int32_t value);

}  // namespace quenlo
