// The process-wide foundation of the socket layer: its exception, the count of live sockets, the
// resolution of host, port and protocol texts, and the table of error texts that the sockets and the
// HTTP client show to the user.
//
// On Linux the socket calls are made directly through platform/Winsock.h (there is no library to
// load at run time), so SocketInstanceCount only keeps its bookkeeping meaning: every socket
// constructor calls SocketCreated() and every destructor SocketDestroyed().
//
// Threads: the resolution functions and WSocketErrorText may be called from any thread. The count
// is atomic.
#pragma once

#include "platform/Winsock.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quenlo {

// The socket layer's exception. It carries only its message (what()).
class ESocketException : public std::runtime_error {
public:
    explicit ESocketException(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// Live socket objects in the process. SocketDestroyed never lets the count go below 0.
int SocketInstanceCount();
void SocketCreated();
void SocketDestroyed();

// Host text to IPv4 address in network order. The text is trimmed (blanks and control characters at
// both ends) before it is used. Throws ESocketException:
//  - empty text, or 257 characters or more: "WSocketResolveHost: '<text>' Invalid Hostname."
//  - first character a digit but not a dotted address (inet_addr fails; "255.255.255.255" itself is
//    accepted): "WSocketResolveHost: '<text>' Invalid IP address." A text starting with a digit is
//    never looked up by name.
//  - a name the resolver does not know: "WSocketResolveHost: Cannot convert host address '<text>'"
//    (the untrimmed text). The name lookup blocks (synchronous, IPv4 only).
std::uint32_t WSocketResolveHost(const std::string& text);
// Every address of a host text, in the order to try them: an IPv6 literal (in brackets or not) or
// a dotted address gives itself, a name every IPv4 and IPv6 address it has (blocks). Refusals as
// WSocketResolveHost's; a text with ":" that is no IPv6 address is an "Invalid IP address.".
std::vector<platform::ws::IpAddress> WSocketResolveHostAll(const std::string& text);

// Port text ("631", "ipp") to a port number in host order; proto is "tcp", "udp" or empty (any).
// Throws ESocketException:
//  - empty text, or 32 characters or more: "WSocketResolvePort: Invalid Port."
//  - a service name the services table does not know:
//    "WSocketResolvePort: Cannot convert port '<text>'" (the text as given).
// A text starting with a digit is read with ParseDecimal; a value above 65535 throws
// std::out_of_range("Range check error") (derives from std::exception like ESocketException, so a
// caller that catches std::exception sees both).
std::uint16_t WSocketResolvePort(const std::string& portText, const std::string& protoText);

// Protocol text ("tcp", "17") to a protocol number. Throws ESocketException:
//  - empty text, or 32 characters or more: "WSocketResolveProto: Invalid Protocol."
//  - a name the protocols table does not know:
//    "WSocketResolveProto: Cannot convert protocol '<trimmed text>'"
// A name the table knows is looked up once per process and its number kept.
int WSocketResolveProto(const std::string& text);

// Skips leading blanks, then reads decimal digits up to the first non-digit or the end: "" and
// "abc" give 0, " 80x" gives 80. The value stops growing at INT_MAX instead of wrapping, so an
// overlong number can never come back as a small valid one.
int ParseDecimal(const std::string& text);

// Appends the text of each address of the entry (dotted IPv4, IPv6 without brackets) to list, in
// order, at most 256.
void CollectAddressList(const platform::ws::HostEntry& entry, std::vector<std::string>& list);

// The English text of a Windows Sockets error number ("Connection refused" for 10061, "No Error"
// for 0); any number outside the table gives "Not a WinSock error".
std::string WSocketErrorText(int error);

}  // namespace quenlo
