// What the commands that run a watcher share: the stop signals, the wait until them, a clean end,
// and one look at the printers of the file.
#pragma once

#include "cli/Command.h"
#include "monitor/Watcher.h"

#include <chrono>

namespace quenlo::cli {

// SIGINT and SIGTERM end RunUntilStopped (and LookOnce) instead of the process.
void StopOnSignals();
// Waits in the event loop until `done` or a stop signal.
void RunUntilStopped(const bool& done);
// Cancels the watcher's subscriptions, waiting at most 2 s for the servers.
void EndCleanly(TWatcher& watcher);
// One look at every printer, at most four servers asked at once, each given up after the watcher's
// interval (its requests' time limit). LookOnce waits long enough for every round of servers;
// LookOnceUntil gives up at `limit`, leaving the printers it has not heard from unlooked.
void LookOnce(TWatcher& watcher);
void LookOnceUntil(TWatcher& watcher, std::chrono::steady_clock::time_point limit);
// The one look started on the watcher has ended: every printer looked at, no request under way
// (the read of a queue that follows a look included).
bool LookedAtAll(const TWatcher& watcher);
// The file's printers, or only NAME of --printer (said on standard error when it is not there).
bool LoadChosenPrinters(const Args& args, const char* command, PrinterList& printers, ProxySettings& proxy);

}  // namespace quenlo::cli
