// The IPv4 and IPv6 socket address types and byte-order helpers the socket layer works with: sockaddr,
// sockaddr_in, in_addr, sockaddr_in6, in6_addr, sockaddr_storage, socklen_t, AF_INET, AF_INET6, SOCK_STREAM/SOCK_DGRAM, IPPROTO_TCP/IPPROTO_UDP,
// MSG_PEEK, INADDR_ANY/INADDR_NONE and htons/ntohs/htonl/ntohl, in the global namespace as usual.
//
// On Linux they are the system's own. On Windows the Windows Sockets library is bound at run time,
// so no Windows Sockets header is included anywhere: the few types are declared here with the
// library's layout, and the byte-order helpers are plain functions. Include this (or
// platform/Winsock.h) before any Windows header.
#pragma once

#if defined(_WIN32)

#if defined(_WINSOCKAPI_) || defined(_WINSOCK2API_)
#error "platform/SocketTypes.h declares the socket types itself: include it before any Windows Sockets header"
#endif

#include <cstdint>

using socklen_t = int;
using sa_family_t = unsigned short;
using in_port_t = std::uint16_t;
using in_addr_t = std::uint32_t;

struct sockaddr {
    sa_family_t sa_family;
    char sa_data[14];
};

struct in_addr {
    in_addr_t s_addr;
};

struct sockaddr_in {
    sa_family_t sin_family;
    in_port_t sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};

struct in6_addr {
    std::uint8_t s6_addr[16];
};

struct sockaddr_in6 {
    sa_family_t sin6_family;
    in_port_t sin6_port;
    std::uint32_t sin6_flowinfo;
    in6_addr sin6_addr;
    std::uint32_t sin6_scope_id;
};

struct sockaddr_storage {
    sa_family_t ss_family;
    char ss_pad1[6];
    long long ss_align;
    char ss_pad2[112];
};

constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int AF_INET6 = 23;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;
constexpr in_addr_t INADDR_ANY = 0;
constexpr in_addr_t INADDR_NONE = 0xFFFFFFFF;
constexpr in_addr_t INADDR_LOOPBACK = 0x7F000001;

// Windows runs on little-endian machines only.
constexpr std::uint16_t htons(std::uint16_t v) { return static_cast<std::uint16_t>((v << 8) | (v >> 8)); }
constexpr std::uint16_t ntohs(std::uint16_t v) { return htons(v); }
constexpr std::uint32_t htonl(std::uint32_t v)
{
    return (v << 24) | ((v << 8) & 0x00FF0000u) | ((v >> 8) & 0x0000FF00u) | (v >> 24);
}
constexpr std::uint32_t ntohl(std::uint32_t v) { return htonl(v); }

#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#endif
