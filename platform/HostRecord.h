// The resolvers of both systems (platform/posix/Winsock.cpp, platform/win/Winsock.cpp) read the
// same classic host record; this is the one reading of it.
#pragma once

#include "platform/Winsock.h"

namespace quenlo::platform::ws {

// The entry of a host record (hostent): its name, aliases and IPv4 addresses; addresses of
// another type or length are left out.
HostEntry HostEntryOf(const char* name, char** aliases, int addressType, int addressLength, char** addresses);

}  // namespace quenlo::platform::ws
