// The peers scripts/wine-test.sh starts on Linux for the Windows suites, found by the ports it
// passes in the environment.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace quenlo::wintest {

inline std::string FromEnvironment(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

inline int PortFromEnvironment(const char* name) { return std::atoi(FromEnvironment(name).c_str()); }

inline bool InCi() { return FromEnvironment("CI") == "true"; }

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
