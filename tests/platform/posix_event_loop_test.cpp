// What only the Linux loop has: its descriptor, and a GUI toolkit's pump driving it.
#include "loop_fixture.h"

#include <chrono>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;
using platform::WM_TIMER;
using platform::WM_USER;

bool descriptorReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

using PosixLoopTest = LoopTest;

TEST_F(PosixLoopTest, LoopDescriptorIsReadableExactlyWhileWorkIsQueued)
{
    RecordingTarget target;
    const int fd = platform::LoopDescriptor();
    platform::ProcessLoopMessages();
    EXPECT_FALSE(descriptorReadable(fd));

    platform::PostMessage(target.hwnd, WM_USER, 0, 0);  // from this very thread
    EXPECT_TRUE(descriptorReadable(fd));
    platform::ProcessLoopMessages();
    EXPECT_FALSE(descriptorReadable(fd));

    std::thread([&] { platform::PostMessage(target.hwnd, WM_USER, 1, 0); }).join();
    EXPECT_TRUE(descriptorReadable(fd));
    platform::ProcessLoopMessages();
    EXPECT_FALSE(descriptorReadable(fd));

    // A pass with a budget leaves the rest of a chain pending, and the descriptor says so: each
    // message takes a millisecond and posts the next, as answers that each start the next request.
    int left = 1000;
    target.onMessage = [&](unsigned, platform::WPARAM, platform::LPARAM) {
        std::this_thread::sleep_for(1ms);
        if (--left > 0)
            platform::PostMessage(target.hwnd, WM_USER, 2, 0);
    };
    platform::PostMessage(target.hwnd, WM_USER, 2, 0);
    platform::ProcessLoopMessages(5ms);
    EXPECT_GT(left, 0) << "the pass ran past its budget to the end of the chain";
    EXPECT_TRUE(descriptorReadable(fd));
    platform::ProcessLoopMessages();
    EXPECT_EQ(left, 0);
    EXPECT_FALSE(descriptorReadable(fd));

    platform::PostQuitMessage(0);
    EXPECT_FALSE(descriptorReadable(fd)) << "a pending quit must not keep a notifier firing";
    platform::MSG msg;
    EXPECT_TRUE(platform::PeekMessage(msg));

    // Every thread has a loop, and a descriptor, of its own.
    int other = -1;
    std::thread([&] { other = platform::LoopDescriptor(); }).join();
    EXPECT_NE(other, -1);
    EXPECT_NE(other, fd);
}

// A stand-in for the GUI toolkit: its own event source (an eventfd playing "user input") and a
// notifier on LoopDescriptor() that runs ProcessLoopMessages, exactly as the window program does.
class FakeToolkit {
public:
    FakeToolkit() : input(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        platform::SetToolkitPump({[this] { processPending(); },
                                  [this](std::chrono::milliseconds t) { waitForMore(t); }});
    }
    ~FakeToolkit()
    {
        platform::SetToolkitPump({});
        ::close(input);
    }
    void userInput() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(input, &one, sizeof one);
    }

    int inputEvents = 0;
    int notifierRuns = 0;
    int waits = 0;

private:
    void processPending()
    {
        std::uint64_t v;
        if (::read(input, &v, sizeof v) == sizeof v)
            ++inputEvents;
        if (descriptorReadable(platform::LoopDescriptor())) {
            ++notifierRuns;
            platform::ProcessLoopMessages();
        }
    }
    void waitForMore(std::chrono::milliseconds timeout)
    {
        ++waits;
        pollfd fds[2] = {{input, POLLIN, 0}, {platform::LoopDescriptor(), POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(timeout.count()));
        processPending();
    }

    int input;
};

TEST_F(PosixLoopTest, AToolkitPumpDrivesTheLoopThroughItsNotifier)
{
    RecordingTarget target;
    FakeToolkit toolkit;

    platform::PostMessage(target.hwnd, WM_USER, 1, 0);
    platform::ProcessPendingMessages();
    EXPECT_EQ(target.got.size(), 1u);
    EXPECT_EQ(toolkit.notifierRuns, 1);

    // Waiting goes through the toolkit, which wakes for its own input as well as for our work.
    std::thread poster([&] {
        std::this_thread::sleep_for(30ms);
        toolkit.userInput();
        std::this_thread::sleep_for(30ms);
        platform::PostMessage(target.hwnd, WM_USER, 2, 0);
    });
    ASSERT_TRUE(runUntil([&] { return target.got.size() == 2; }, 5s));
    poster.join();
    EXPECT_EQ(toolkit.inputEvents, 1);
    EXPECT_GE(toolkit.waits, 2);

    // Timers reach the toolkit the same way.
    ASSERT_TRUE(platform::SetTimer(target.hwnd, 1, 10));
    EXPECT_TRUE(runUntil([&] { return target.count(WM_TIMER) == 1; }, 5s));
    platform::KillTimer(target.hwnd, 1);
}

}  // namespace
}  // namespace quenlo::test
