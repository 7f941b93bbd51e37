// The overview of every printer of the file: what one look, or the watch, knows of each, as the
// rows the administrator's window and `quenlo-cli status` show.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/WatchState.h"

#include <cstddef>
#include <string>

namespace quenlo {

class TWatcher;

// One look asks at most this many servers at once, each of the others as one is done: a look at
// dozens of servers, some of which never answer, neither floods the network nor waits in a line.
inline constexpr std::size_t kServersAtOnce = 4;

// "host:port" of the entry's server; a remotehost without a port is spoken to on port 80.
std::string ServerText(const TAList& entry);
// The printer line without the name: every form of it follows the name with " - ".
std::string LineText(const WatchState& state);
// Starts one look at every printer of the watcher: attributes only, no subscription, at most
// kServersAtOnce servers at once, and no look after it. The watcher's interval is each request's
// time limit. Call on a watcher that has not started.
void StartOneLook(TWatcher& watcher);

}  // namespace quenlo
