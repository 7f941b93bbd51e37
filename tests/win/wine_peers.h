// The peers scripts/wine-test.sh starts on Linux for the Windows suites, found by the ports it
// passes in the environment, and a pump of the calling thread's loop with a deadline.
#pragma once

#include "support/RunUntil.h"

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

// The suites' run-until, with the longer default that peers in other processes need.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(30000))
{
    return test::runUntil(done, limit);
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
