// What the files of TCustomWSocket (net/CustomWSocket*.cpp) share with each other; nothing else
// includes this.
#pragma once

#include "platform/Winsock.h"

#include <cstdint>
#include <string>

namespace quenlo::wsocket_detail {

// The notifications of a connected socket.
constexpr long kSessionEvents =
    platform::ws::FD_READ | platform::ws::FD_WRITE | platform::ws::FD_CONNECT | platform::ws::FD_CLOSE;
// inet_addr's "not a dotted address", which is also the broadcast address.
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;
// The timer of a connection attempt that may give way to the next address, on the event target.
constexpr unsigned kAttemptTimer = 1;

// "Error N in function F" CR LF and the error's text.
std::string SocketErrorText(int error, const std::string& functionName);

}  // namespace quenlo::wsocket_detail
