#include "ipp/IppResponse.h"
#include "platform/Text.h"

#include <algorithm>

namespace quenlo {

namespace {

constexpr std::size_t kScratchSize = 65536;
constexpr std::size_t kValueScratch = 32768;  // offset of the value's half of the scratch space

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

// A signed big-endian 16-bit length; missing bytes read as zero.
long ReadLength(IppResponseStream& stream)
{
    char b[2] = {0, 0};
    stream.Read(b, 2);
    return static_cast<std::int16_t>((static_cast<std::uint8_t>(b[0]) << 8) | static_cast<std::uint8_t>(b[1]));
}

std::int32_t FirstFourBytes(std::string_view value, bool mostSignificantFirst)
{
    std::uint8_t b[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < 4 && i < value.size(); ++i)
        b[i] = static_cast<std::uint8_t>(value[i]);
    std::uint32_t v = mostSignificantFirst ? (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                                 (std::uint32_t{b[2]} << 8) | b[3]
                                           : (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) |
                                                 (std::uint32_t{b[1]} << 8) | b[0];
    return static_cast<std::int32_t>(v);
}

// The name in small letters; copied into the scratch space only when it holds a capital.
std::string_view LowerCaseName(std::string_view name, IppResponseStream& stream)
{
    const auto isCapital = [](char c) { return c >= 'A' && c <= 'Z'; };
    if (std::none_of(name.begin(), name.end(), isCapital))
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
    return attribute;
}

std::optional<IppResponseHeader> WalkResponse(IppResponseStream& stream, int delimiterLimit,
                                              const IppAttributeHandler& onAttribute,
                                              const IppDelimiterHandler& onDelimiter)
{
    if (stream.Size() <= 10)
        return std::nullopt;
    const IppResponseHeader header = ReadResponseHeader(stream);
    // The first group's tag is only read past; the body is longer than the header, so it is there.
    auto tag = static_cast<std::int8_t>(stream.ReadByte().value_or(0));
    while (tag != kIppTagEndOfAttributes) {
        const std::optional<std::uint8_t> next = stream.ReadByte();
        if (!next)
            break;
        tag = static_cast<std::int8_t>(*next);
        if (tag > delimiterLimit) {
            IppAttribute attribute = ReadAttribute(stream, tag);
            attribute.name = LowerCaseName(attribute.name, stream);
            if (onAttribute)
                onAttribute(attribute);
        } else if (onDelimiter) {
            onDelimiter(tag);
        }
    }
    return header;
}

std::optional<IppResponseHeader> WalkResponse(std::string_view body, int delimiterLimit,
                                              const IppAttributeHandler& onAttribute,
                                              const IppDelimiterHandler& onDelimiter)
{
    IppResponseStream stream(body);
    return WalkResponse(stream, delimiterLimit, onAttribute, onDelimiter);
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
