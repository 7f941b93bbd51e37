// Work that may block for long (the credential store waits up to kStoreBound for a keyring's
// unlock prompt) run on a thread of its own while the calling thread's loop goes on, so a window
// keeps painting and answering meanwhile.
//
// Re-entrancy: the caller's handlers run inside the wait, exactly as inside a blocking Get; a
// caller marks itself busy first. A quit posted meanwhile ends the wait (false); the work then
// finishes on its own thread, touching only what it owns (`work` is moved onto that thread), and
// its result is dropped.
#pragma once

#include "platform/EventLoop.h"

#include <functional>

namespace quenlo::platform {

// Runs `work` on a new thread and processes this thread's events until it has returned. True when
// it has; false when a quit ended the wait first (or no thread could be had: then `work` has not
// run at all).
bool RunOffThread(std::function<void()> work);

// For a caller that must not wait at all (its loop may not nest): runs `work` on a new thread and
// returns at once; once `work` has returned, `message` is posted to `target`. What `work` makes
// reaches the target through what the two share; a target destroyed meanwhile gets nothing. False
// when no thread could be had (`work` has not run).
bool StartOffThread(std::function<void()> work, HWND target, unsigned message);

}  // namespace quenlo::platform
