// Shared by the platform tests: a target that records what it receives, and a fixture that checks
// every test leaves the loop as it found it.
#pragma once

#include "platform/EventLoop.h"
#include "platform/Winsock.h"
#include "support/RunUntil.h"

#include <gtest/gtest.h>

#include <vector>

namespace quenlo::test {

struct Recorded {
    unsigned message;
    platform::WPARAM wParam;
    platform::LPARAM lParam;
};

// A message target that appends every message to `got`; `onMessage` may add behaviour.
class RecordingTarget {
public:
    RecordingTarget()
    {
        hwnd = platform::CreateMessageTarget([this](platform::HWND, unsigned m, platform::WPARAM w,
                                                    platform::LPARAM l) -> platform::LRESULT {
            got.push_back({m, w, l});
            if (onMessage)
                onMessage(m, w, l);
            return 0;
        });
    }
    ~RecordingTarget() { platform::DestroyMessageTarget(hwnd); }
    RecordingTarget(const RecordingTarget&) = delete;
    RecordingTarget& operator=(const RecordingTarget&) = delete;

    std::size_t count(unsigned message) const
    {
        std::size_t n = 0;
        for (const auto& r : got)
            n += r.message == message ? 1 : 0;
        return n;
    }

    platform::HWND hwnd = 0;
    std::vector<Recorded> got;
    std::function<void(unsigned, platform::WPARAM, platform::LPARAM)> onMessage;
};

// Every test ends with no target, timer, queued message, watched socket or running lookup left.
class LoopTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(runUntil([] { return platform::ws::PendingLookupCount() == 0; }, std::chrono::seconds(15)))
            << "a lookup is still running";
        const auto counts = platform::CurrentLoopCounts();
        EXPECT_EQ(counts.targets, 0u);
        EXPECT_EQ(counts.timers, 0u);
        EXPECT_EQ(counts.queued, 0u);
        EXPECT_EQ(counts.watchedSockets, 0u);
        // Leave no quit behind for the next test.
        platform::MSG msg;
        while (platform::PeekMessage(msg)) {
        }
    }
};

}  // namespace quenlo::test
