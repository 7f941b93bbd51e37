#include "platform/TlsRules.h"

namespace quenlo::platform::tls {

bool OpensTlsAnswer(unsigned char firstByte) noexcept
{
    // A handshake record (22) or an alert (21) opens every TLS answer to a ClientHello.
    return firstByte == 22 || firstByte == 21;
}

std::string FingerprintText(const unsigned char* digest, std::size_t size)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

}  // namespace quenlo::platform::tls
