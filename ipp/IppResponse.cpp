#include "ipp/IppResponse.h"
#include "platform/Text.h"

#include <algorithm>
#include <utility>

namespace quenlo {

namespace {

// The value's half of the scratch space starts here; each half holds the longest name or value.
constexpr std::size_t kValueScratch = std::size_t{1} << 16;
constexpr std::size_t kScratchSize = 2 * kValueScratch;

// Reads n bytes as a view when the body holds them all; otherwise copies what is left into `room`
// and pads it with zeros up to n.
std::string_view ReadPadded(IppResponseStream& stream, long n, std::size_t room)
{
    if (n <= 0)
        return {};
    if (stream.Remaining() >= static_cast<std::size_t>(n))
        return stream.ReadView(n);
    char* dst = stream.Scratch() + room;
    const std::size_t got = stream.Read(dst, n);
    std::memset(dst + got, 0, static_cast<std::size_t>(n) - got);
    return {dst, static_cast<std::size_t>(n)};
}

// An unsigned big-endian 16-bit length at the start of `bytes`.
std::size_t LengthAt(const char* bytes)
{
    return (std::size_t{static_cast<std::uint8_t>(bytes[0])} << 8) | static_cast<std::uint8_t>(bytes[1]);
}

// An unsigned big-endian 16-bit length; missing bytes read as zero.
long ReadLength(IppResponseStream& stream)
{
    char b[2] = {0, 0};
    stream.Read(b, 2);
    return static_cast<long>(LengthAt(b));
}

std::int32_t FirstFourBytes(std::string_view value, bool mostSignificantFirst)
{
    std::uint8_t b[4] = {0, 0, 0, 0};
    if (value.size() >= 4)
        std::memcpy(b, value.data(), 4);  // the usual case, as one load
    else if (!value.empty())  // an empty view may have no data pointer at all
        std::memcpy(b, value.data(), value.size());
    std::uint32_t v = mostSignificantFirst ? (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                                 (std::uint32_t{b[2]} << 8) | b[3]
                                           : (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) |
                                                 (std::uint32_t{b[1]} << 8) | b[0];
    return static_cast<std::int32_t>(v);
}

// An integer or an enum is four bytes on the wire; any other length holds no number.
bool HoldsNumber(int tag, std::size_t valueLength)
{
    return (tag != 0x21 && tag != 0x23) || valueLength == 4;
}

// Whether `bytes` hold an ASCII capital. Every attribute name of an answer passes here and nearly
// none holds one, so eight bytes are looked at in one step: a byte is a capital when it is
// below 0x80, at least 'A' and not above 'Z' (the sums stay within their byte).
bool HoldsCapital(std::string_view bytes)
{
    if (bytes.size() < 8)
        return std::any_of(bytes.begin(), bytes.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    const auto eightHoldCapital = [](const char* at) {
        constexpr std::uint64_t kOnes = 0x0101010101010101;
        constexpr std::uint64_t kHighBits = kOnes * 0x80;
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        const std::uint64_t low = word & ~kHighBits;
        const std::uint64_t atLeastA = low + kOnes * (0x80 - 'A');
        const std::uint64_t aboveZ = low + kOnes * (0x80 - 'Z' - 1);
        return (atLeastA & ~aboveZ & ~word & kHighBits) != 0;
    };
    for (std::size_t at = 0; at + 8 < bytes.size(); at += 8) {
        if (eightHoldCapital(bytes.data() + at))
            return true;
    }
    // The last eight bytes, which may overlap the ones before.
    return eightHoldCapital(bytes.data() + bytes.size() - 8);
}

// The name in small letters; copied into the scratch space only when it holds a capital.
std::string_view LowerCaseName(std::string_view name, IppResponseStream& stream)
{
    if (!HoldsCapital(name))
        return name;
    char* dst = stream.Scratch();
    if (name.data() != dst)
        std::memmove(dst, name.data(), name.size());
    for (std::size_t i = 0; i < name.size(); ++i)
        dst[i] = platform::AsciiLower(dst[i]);
    return {dst, name.size()};
}

}  // namespace

char* IppResponseStream::Scratch()
{
    if (!scratch_)
        scratch_ = std::make_unique_for_overwrite<char[]>(kScratchSize);
    return scratch_.get();
}

IppResponseHeader ReadResponseHeader(IppResponseStream& stream)
{
    stream.SeekToStart();
    char b[8] = {};
    stream.Read(b, 8);
    const auto u = [&](int i) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[i])); };
    IppResponseHeader header;
    header.versionMajor = static_cast<std::uint8_t>(u(0));
    header.versionMinor = static_cast<std::uint8_t>(u(1));
    header.statusCode = static_cast<std::uint16_t>(u(2) << 8 | u(3));
    header.requestId = static_cast<std::int32_t>(u(4) << 24 | u(5) << 16 | u(6) << 8 | u(7));
    return header;
}

IppAttribute ReadAttribute(IppResponseStream& stream, int tag)
{
    IppAttribute attribute;
    attribute.name = ReadPadded(stream, ReadLength(stream), 0);
    const std::string_view value = ReadPadded(stream, ReadLength(stream), kValueScratch);
    if (tag > 0x26) {
        attribute.text = value;
        attribute.integer = FirstFourBytes(value, false);
    } else {
        attribute.integer = FirstFourBytes(value, tag >= 0x20);
    }
    attribute.number = HoldsNumber(tag, value.size());
    return attribute;
}

namespace {

// The attribute that starts with the first byte of `bytes` (its value tag), read where it lies
// when `bytes` hold all of it: `length` is then its length, tag included, and 0 otherwise.
IppAttribute WholeAttributeAt(std::string_view bytes, int tag, std::size_t& length)
{
    std::string_view parts[2];
    std::size_t at = 1;
    for (std::string_view& part : parts) {  // the name, then the value
        length = 0;
        if (bytes.size() < at + 2)
            return {};
        const std::size_t size = LengthAt(bytes.data() + at);
        at += 2;
        if (bytes.size() < at + size)
            return {};
        part = bytes.substr(at, size);
        at += size;
    }
    length = at;
    IppAttribute attribute;
    attribute.name = parts[0];
    if (tag > 0x26)
        attribute.text = parts[1];
    attribute.integer = FirstFourBytes(parts[1], tag >= 0x20 && tag <= 0x26);
    attribute.number = HoldsNumber(tag, parts[1].size());
    return attribute;
}

}  // namespace

IppWalker::IppWalker(int delimiterLimit, IppAttributeHandler onAttribute, IppDelimiterHandler onDelimiter)
    : delimiterLimit_(delimiterLimit), onAttribute_(std::move(onAttribute)), onDelimiter_(std::move(onDelimiter))
{
}

void IppWalker::Finish(std::string_view rest)
{
    Step(rest, true);
    stage_ = Stage::Done;
}

// Before the end of the body an attribute is read only when all its bytes are there; at the end
// the last one is read as far as it goes, its missing bytes as zero.
std::size_t IppWalker::Step(std::string_view bytes, bool atEnd)
{
    if (stage_ == Stage::Done)
        return bytes.size();
    IppResponseStream stream(bytes);
    if (stage_ == Stage::Header) {
        // More than 10 bytes: the body is long enough to be walked, and its first tag is here.
        if (bytes.size() <= 10)
            return 0;
        header_ = ReadResponseHeader(stream);
        const auto first = static_cast<std::int8_t>(stream.ReadByte().value_or(0));
        group_ = first;
        endTagRead_ = first == kIppTagEndOfAttributes;
        stage_ = endTagRead_ ? Stage::Done : Stage::Items;
    }
    while (stage_ == Stage::Items && stream.Remaining() > 0) {
        const std::string_view rest = bytes.substr(stream.Position());
        const auto tag = static_cast<std::int8_t>(rest[0]);
        if (tag > delimiterLimit_) {
            std::size_t length = 0;
            IppAttribute attribute = WholeAttributeAt(rest, tag, length);
            if (length != 0) {
                stream.ReadView(static_cast<long>(length));
            } else if (!atEnd) {
                break;
            } else {  // the body's last attribute, cut short
                stream.ReadByte();
                attribute = ReadAttribute(stream, tag);
            }
            attribute.name = LowerCaseName(attribute.name, stream);
            if (IsStatusMessage(attribute))
                NoteStatusMessage(attribute);
            if (onAttribute_)
                onAttribute_(attribute);
        } else {
            stream.ReadByte();
            group_ = tag;
            if (tag == kIppTagEndOfAttributes) {
                endTagRead_ = true;
                stage_ = Stage::Done;
            }
            if (onDelimiter_)
                onDelimiter_(tag);
        }
    }
    return stage_ == Stage::Done ? bytes.size() : stream.Position();
}

// The answer's own status message is the first "status-message" of the operation group; the
// group and the flag are looked at first, since nearly every attribute is in another group.
bool IppWalker::IsStatusMessage(const IppAttribute& attribute) const
{
    return group_ == kIppTagOperationAttributes && !statusMessageSeen_ && attribute.name == "status-message";
}

void IppWalker::NoteStatusMessage(const IppAttribute& attribute)
{
    statusMessageSeen_ = true;
    statusMessage_.assign(attribute.text);
}

IppAnswerStatus IppWalker::Status() const
{
    IppAnswerStatus status;
    if (!header_)
        return status;
    status.complete = endTagRead_ && (header_->versionMajor == 1 || header_->versionMajor == 2);
    status.statusCode = header_->statusCode;
    status.statusMessage = statusMessage_;
    return status;
}

IppAnswerStatus ReadAnswerStatus(std::string_view body)
{
    IppWalker walker(kIppPrinterWalkDelimiterLimit, nullptr, nullptr);
    walker.Finish(body);
    return walker.Status();
}

std::optional<IppResponseHeader> WalkResponse(std::string_view body, int delimiterLimit,
                                              const IppAttributeHandler& onAttribute,
                                              const IppDelimiterHandler& onDelimiter)
{
    IppWalker walker(delimiterLimit, onAttribute, onDelimiter);
    walker.Finish(body);
    return walker.Header();
}

std::string_view JobStateText(std::int32_t state)
{
    switch (state) {
    case 3: return "pending";
    case 4: return "pending-held";
    case 5: return "processing";
    case 6: return "processing-stopped";
    case 7: return "canceled";
    case 8: return "aborted";
    case 9: return "completed";
    default: return {};
    }
}

std::string_view PrinterStateText(std::int32_t state)
{
    switch (state) {
    case 3: return "idle";
    case 4: return "processing";
    case 5: return "stopped";
    default: return "unknown";
    }
}

std::string_view AcceptingJobsText(std::int32_t value)
{
    return value == 0 ? ", rejecting jobs" : ", accepting jobs";
}

}  // namespace quenlo
