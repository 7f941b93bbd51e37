// Helpers of the IPP tests: hand-built response bodies and the captured answers in tests/data/ipp.
#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>

namespace quenlo::test {

// A response body built piece by piece, with each wire field spelt out.
class IppBody {
public:
    // version-number, status-code, request-id
    IppBody& Header(int major = 1, int minor = 1, int status = 0, std::uint32_t requestId = 10)
    {
        return Raw({major, minor, status >> 8, status & 0xFF, static_cast<int>(requestId >> 24),
                    static_cast<int>((requestId >> 16) & 0xFF), static_cast<int>((requestId >> 8) & 0xFF),
                    static_cast<int>(requestId & 0xFF)});
    }
    IppBody& Tag(int tag) { return Raw({tag}); }
    // tag, name length, name, value length, value
    IppBody& Attr(int tag, const std::string& name, const std::string& value)
    {
        Tag(tag);
        Length(name.size());
        bytes_ += name;
        Length(value.size());
        bytes_ += value;
        return *this;
    }
    // An attribute with a 4-byte big-endian value (integer, enum).
    IppBody& Int(int tag, const std::string& name, std::int32_t v)
    {
        const auto u = static_cast<std::uint32_t>(v);
        return Attr(tag, name,
                    std::string{static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                                static_cast<char>(u)});
    }
    IppBody& Length(std::size_t n) { return Raw({static_cast<int>((n >> 8) & 0xFF), static_cast<int>(n & 0xFF)}); }
    IppBody& Raw(std::initializer_list<int> bytes)
    {
        for (int b : bytes)
            bytes_.push_back(static_cast<char>(b));
        return *this;
    }
    IppBody& Text(const std::string& s)
    {
        bytes_ += s;
        return *this;
    }
    const std::string& str() const { return bytes_; }
    operator const std::string&() const { return bytes_; }

private:
    std::string bytes_;
};

// A captured answer, e.g. CapturedIpp("get-jobs-held").
inline std::string CapturedIpp(const std::string& name)
{
    const std::string path = std::string(QUENLO_SOURCE_DIR) + "/tests/data/ipp/" + name + ".bin";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quenlo::test
