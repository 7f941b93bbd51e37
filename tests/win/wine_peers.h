// The peers scripts/wine-test.sh starts on Linux for the Windows suites, found by the ports it
// passes in the environment, and a pump of the calling thread's loop with a deadline.
#pragma once

#include "platform/EventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

namespace quenlo::wintest {

inline std::string FromEnvironment(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

inline int PortFromEnvironment(const char* name) { return std::atoi(FromEnvironment(name).c_str()); }

inline bool InCi() { return FromEnvironment("CI") == "true"; }

inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(30000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        platform::WaitAndProcess(std::chrono::milliseconds(50));
    return done();
}

}  // namespace quenlo::wintest

// `const int var`, the port in the environment variable `name`; without it the test is skipped
// (failed under CI=true).
#define QUENLO_REQUIRE_PORT(var, name)                                                                 \
    const int var = ::quenlo::wintest::PortFromEnvironment(name);                                      \
    if (var == 0) {                                                                                    \
        if (::quenlo::wintest::InCi())                                                                 \
            FAIL() << name << " is not set (scripts/wine-test.sh starts the peers of this suite)";     \
        GTEST_SKIP() << name << " is not set (scripts/wine-test.sh starts the peers of this suite)";   \
    }
