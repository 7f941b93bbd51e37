// The error numbers of the network layer with their texts, one list per kind: Windows Sockets
// errors (WSocketErrorText), the HTTP client's own codes (EHttpException, OnRequestDone) and the
// SOCKS negotiation's codes (OnSocksError). A code is used by its name; the number and the text
// come from here alone. A text that goes on with details (a path, a bound, a name) gives its
// leading words, which the code completes.
#pragma once

#include <cstdint>
#include <span>

namespace quenlo {

struct TErrorCode {
    std::uint16_t number;
    const char* text;
    constexpr operator std::uint16_t() const noexcept { return number; }
};

// Codes of EHttpException below 100 (a status of 400 or more uses the status itself, a network
// failure 404). They are also the request-done error of OnRequestDone for failures that are not
// socket errors.
namespace HttpError {
inline constexpr TErrorCode Busy{1, "HTTP component is busy"};
inline constexpr TErrorCode NothingToPost{2, "HTTP component has nothing to post"};
inline constexpr TErrorCode Aborted{3, "HTTP request aborted"};  // thread quit, component gone
inline constexpr TErrorCode LineTooLong{4, "HTTP line too long"};
inline constexpr TErrorCode TooManyRelocations{5, "HTTP too many relocations"};  // "(more than 20)"
inline constexpr TErrorCode BadStatusLine{6, "HTTP bad status line"};
// Also "HTTP server closed the connection without a status line (N bytes received)".
inline constexpr TErrorCode NoResponse{7, "HTTP server closed the connection without answering"};
inline constexpr TErrorCode ReplyStreamFailed{8, "HTTP reply stream write failed"};
inline constexpr TErrorCode ReplyTooLarge{9, "HTTP reply larger than"};  // " N bytes"
inline constexpr TErrorCode BadChunk{10, "HTTP bad chunk in a chunked reply"};
inline constexpr TErrorCode ConflictingLength{11, "HTTP conflicting Content-Length headers"};
// "HTTP request refused: WHAT holds a control character or space", or of a Content-Range.
inline constexpr TErrorCode UnsafeText{12, "holds a control character or space"};
// Not http, or a location holding a control character.
inline constexpr TErrorCode BadRelocation{13, "HTTP relocation refused: "};
// No TLS where it is required, a failed handshake, a proxy that would not open a tunnel (the text
// says which).
inline constexpr TErrorCode TlsFailed{14, "TLS"};
// "TLS certificate of HOST:PORT ..." (changed, or not kept under StrictTrust).
inline constexpr TErrorCode CertificateRefused{15, "TLS certificate of"};
// "the connection closed N bytes before the end of the answer", or before its last chunk, or over
// TLS without close_notify where only the close marks the end.
inline constexpr TErrorCode CutShort{16, "the connection closed"};
// "HTTP bad header: a line holds a NUL byte", or ": more than N lines".
inline constexpr TErrorCode BadHeader{17, "HTTP bad header"};
}  // namespace HttpError

// Codes of OnSocksError. "data receive error" comes with the receive's own error number instead.
namespace SocksError {
inline constexpr TErrorCode TooMuchData{20001, "too much data availaible"};  // authentication reply
inline constexpr TErrorCode VersionError{20002, "socks version error"};
// The proxy chose a method we did not offer (0xFF: none of ours is acceptable to it).
inline constexpr TErrorCode MethodNotAcceptable{20003, "authentification method not acceptable"};
inline constexpr TErrorCode GeneralFailure{20004, "general SOCKS server failure"};  // socks 5 reply 1
inline constexpr TErrorCode NotAllowed{20005, "connection not allowed by ruleset"};  // 2
inline constexpr TErrorCode NetworkUnreachable{20006, "network unreachable"};        // 3
inline constexpr TErrorCode HostUnreachable{20007, "host unreachable"};              // 4
inline constexpr TErrorCode ConnectionRefused{20008, "connection refused"};          // 5; socks 4: 92
inline constexpr TErrorCode TtlExpired{20009, "time to live expired"};               // 6
inline constexpr TErrorCode CommandNotSupported{20010, "command not supported"};     // 7
inline constexpr TErrorCode AddressTypeNotSupported{20011, "address type not supported"};  // 8
inline constexpr TErrorCode Unassigned{20012, "unassigned error #"};  // + the reply code
inline constexpr TErrorCode InternalError{20013, "internal error"};  // proxy bytes in no stage
inline constexpr TErrorCode Socks4AuthFailed{20015, "authentification failed"};  // socks 4 reply 93
inline constexpr TErrorCode AuthFailed{20015, "socks authentication failed"};   // socks 5 password refused
inline constexpr TErrorCode Rejected{20016, "request rejected or failed"};      // socks 4 reply 91
// Level 4 could not look up the target itself: the exception's class name and message follow.
inline constexpr TErrorCode Socks4Lookup{20017, ""};
}  // namespace SocksError

// The Windows Sockets errors the socket layer reports, with their texts.
std::span<const TErrorCode> WinsockErrors() noexcept;

}  // namespace quenlo
