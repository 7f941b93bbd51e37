// Runs the calling thread's event loop until a condition holds or a deadline passes.
#pragma once

#include <chrono>
#include <functional>

namespace quenlo::test {

// Pumps with WaitAndProcess until done() is true or timeout has passed; returns done(). Wakes at
// least every 10 ms to re-check done(), so conditions that change without a message (another
// thread's counter) are seen too. The default bound is for a loaded machine (or wine on one): it
// only ends a wait for something that never comes.
bool runUntil(const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));

// Pumps for the whole period (to see that something does NOT happen).
void runFor(std::chrono::milliseconds period);

}  // namespace quenlo::test
