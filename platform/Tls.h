// A TLS client session as a filter of a byte stream: it owns no socket and never blocks. The
// caller hands it two functions that move encrypted bytes to and from its connection, and drives
// it from its own event handlers: Handshake() after the connect and after each arrival of bytes
// until it is done, then Read() and Write() with the plain bytes of the exchange.
//
// Linux builds on the system's TLS library (GnuTLS), Windows on its own (SChannel); Available() is
// false where the system has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quenlo::platform {

// Moves encrypted bytes. Send returns the count taken (all of it, or -1 on failure); Receive the
// count read, 0 when the peer has closed, kTlsWouldBlock when nothing is waiting, -1 on failure.
struct TlsTransport {
    std::function<long(const void* data, std::size_t len)> Send;
    std::function<long(void* buffer, std::size_t size)> Receive;
};

inline constexpr long kTlsWouldBlock = -2;

enum class TlsStep { Done, WantMore, Failed };

class TlsSession {
public:
    // False where this build has no TLS.
    static bool Available() noexcept;
    // Whether this process has read the system's trust store yet: the first TrustedBySystem()
    // reads it, nothing before.
    static bool SystemTrustRead() noexcept;

    // hostName goes into the server name indication (not for an address) and is the name the
    // certificate is checked against.
    TlsSession(const std::string& hostName, TlsTransport transport);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // One step of the handshake with the bytes waiting now. Failed leaves the reason in Error().
    TlsStep Handshake();
    // Plain bytes of the peer: the count, 0 at the end of the stream (close_notify, or a close
    // without it), kTlsWouldBlock when none are waiting, -1 on failure (Error()).
    long Read(void* buffer, std::size_t size);
    // Encrypts and hands everything to the transport; len, or -1 (Error()).
    long Write(const void* data, std::size_t len);

    const std::string& Error() const noexcept;
    // The peer's first byte began a TLS record: a failure after it is no reason to talk plain.
    bool PeerAnsweredTls() const noexcept;
    // The peer sent nothing at all before it closed or reset the connection.
    bool PeerSilent() const noexcept;
    // Read() has met the peer's close_notify: the stream ended where the peer meant it to.
    bool CloseNotified() const noexcept;
    // After the handshake: the SHA-256 of the server's certificate as "AB:CD:..", and whether
    // the system's trust store vouches for it under the host name.
    std::string PeerFingerprint() const;
    bool TrustedBySystem() const;
    // After the handshake: the end of the server's certificate's validity, in seconds since
    // 1970-01-01 UTC; 0 when there is none to read.
    std::int64_t PeerExpiry() const;
    // "TLS1.3" and the like.
    std::string ProtocolName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quenlo::platform
