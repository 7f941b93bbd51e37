// The run-time binding of the Windows Sockets 1.1 library "wsock32.dll": loaded and started
// (WSAStartup, version 1.1) by the first call that needs it, each entry point looked up by name on
// first use and kept, and all of it undone by UnloadWinsock. Not for use outside platform/win/.
//
// Failures to load, start or find an entry point throw std::runtime_error with the texts
// "Unable to load wsock32.dll Error #<n>", "wsock32.dll: WSAStartup error #<n>" and
// "Procedure <name> not found in wsock32.dll Error #<n>".
#pragma once

#include "platform/win/Win32.h"

namespace quenlo::platform::win {

inline constexpr const char* kWinsockLibrary = "wsock32.dll";

// The library's records, declared here with its 64-bit layout (no Windows Sockets header is used).
struct HostEnt {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};
struct ServEnt {
    char* s_name;
    char** s_aliases;
    char* s_proto;  // before s_port in the 64-bit layout
    short s_port;
};
struct ProtoEnt {
    char* p_name;
    char** p_aliases;
    short p_proto;
};
inline constexpr int kMaxGetHostStruct = 1024;
inline constexpr long kFionbio = static_cast<long>(0x8004667Eu);
inline constexpr long kFionread = 0x4004667F;

// The entry point `name`, loading and starting the library first when needed. Thread-safe.
void* WinsockEntry(const char* name);

// Entry<Fn>("name") gives the entry point as a function of type Fn.
template <typename Fn>
Fn* Entry(const char* name)
{
    return reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(WinsockEntry(name)));
}

// The library's host entry as the layer's (IPv4 addresses only).
ws::HostEntry ToHostEntry(const HostEnt& he);

// getaddrinfo of "ws2_32.dll" from the system folder, bound at run time beside wsock32 (which has
// no IPv6 lookup). HasAddrInfo is false when it is missing; AddrInfoLookup (blocking) gives every
// address of the name, IPv6 and IPv4, or nullopt with the last error set.
bool HasAddrInfo();
std::optional<ws::HostEntry> AddrInfoLookup(const std::string& name);

// The library `name` of the system folder, never a file of that name beside the program or in the
// current folder; what it loads in turn is looked for in the system folder first as well. nullptr
// with the last error set when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// Cleans up and unloads the library when it is loaded; the next call loads it again.
void UnloadWinsock();

}  // namespace quenlo::platform::win
