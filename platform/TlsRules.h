// What the TLS sessions of both systems (platform/posix/Tls.cpp, platform/win/Tls.cpp) decide
// alike, so that PeerAnsweredTls and PeerFingerprint mean the same on each.
#pragma once

#include <cstddef>
#include <string>

namespace quenlo::platform::tls {

// Whether the peer's first byte opens a TLS record that answers a ClientHello.
bool OpensTlsAnswer(unsigned char firstByte) noexcept;

// A certificate's digest as "AB:CD:..": upper-case hex pairs separated by colons.
std::string FingerprintText(const unsigned char* digest, std::size_t size);

}  // namespace quenlo::platform::tls
