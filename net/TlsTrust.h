// The certificates this user has come to trust: one line "HOST:PORT FINGERPRINT" per server, the
// SHA-256 of the certificate it showed first (or the one the user accepted since). Print servers
// make their own certificates, for names that rarely match the address in the printers file, so
// a certificate no authority vouches for is judged by whether it is the one seen before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quenlo {

// The file in the per-user configuration folder ($XDG_CONFIG_HOME/Dorvane/Quenlo/, %APPDATA% on
// Windows); empty when the environment names no such folder.
std::string DefaultTrustStorePath();

// "host:port" as the store keys it: the host lower-cased, an IPv6 address without brackets
// inside brackets.
std::string TrustKey(const std::string& host, const std::string& port);

// Whether clients made from now on refuse a certificate that is not kept yet (the starting value
// of THttpCli::StrictTrust). Off by default.
void SetStrictTrustByDefault(bool strict) noexcept;
bool StrictTrustByDefault() noexcept;

// The certificate a server showed at the last TLS handshake of this process with it.
struct TServerCertificate {
    std::int64_t expires = 0;  // the end of its validity, seconds since 1970 UTC; 0: not readable
    bool kept = false;         // it is the one kept for the server (kept at its first use included)
};
void RememberServerCertificate(const std::string& key, const TServerCertificate& certificate);
// By the key of the store (TrustKey); nothing for a server no handshake of this process has reached.
std::optional<TServerCertificate> LastServerCertificate(const std::string& key);

class TTrustStore {
public:
    explicit TTrustStore(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const noexcept { return path_; }
    // Every kept server, in the file's order. A missing or unreadable file keeps none.
    std::vector<std::pair<std::string, std::string>> List() const;
    std::optional<std::string> Find(const std::string& key) const;
    // Keeps (or replaces) the fingerprint of key; false when the file could not be written. The
    // file is replaced whole, readable by its owner only, with its folders made as needed; other
    // runs that keep or forget at the same time wait for this one, so no change is lost.
    bool Keep(const std::string& key, const std::string& fingerprint) const;
    // False when key was not kept or the file could not be written.
    bool Forget(const std::string& key) const;

private:
    bool Write(const std::vector<std::pair<std::string, std::string>>& entries) const;

    std::string path_;
};

}  // namespace quenlo
