// Inside the HTTP client: what its TLS part (net/HttpTls.cpp) lends the rest (net/HttpProt.cpp).
// Not for users of the client: they include net/HttpProt.h.
#pragma once

#include <chrono>
#include <string>

namespace quenlo {

// Servers that asked for TLS (a 426) are reached over TLS for the rest of the run.
void RememberTlsServer(const std::string& key);
bool TlsServerRemembered(const std::string& key);
// Servers seen answering a handshake in TLS during the run: credentials never go to them plain.
void RememberServerSpokeTls(const std::string& key);
// The failure text of a tunnel or handshake that brought nothing for `idle`.
std::string TlsStalledText(const std::string& server, bool tunnel, std::chrono::milliseconds idle);

}  // namespace quenlo
