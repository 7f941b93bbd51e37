// The single-instance lock: time-out, hand-over, a dead holder, unsafe directories, and that the
// lock never travels into a child process.
#include "platform/Process.h"
#include "platform/SingleInstance.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quenlo::platform::SingleInstance;

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    static std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }

    quenlo::test::TempDir temp_{"si"};
    const std::string base_ = temp_.Path();
    const std::string dir_ = base_ + "/run";
};

TEST_F(SingleInstanceTest, SecondInstanceTimesOutWhileTheFirstRuns) {
    SingleInstance first(dir_);
    ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
    EXPECT_TRUE(fs::exists(dir_ + "/QuenloSingleInstanceProgramMutex"));
    EXPECT_EQ(fs::status(dir_).permissions() & fs::perms::all, fs::perms::owner_all);

    SingleInstance second(dir_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(second.Acquire(300ms, 20ms), SingleInstance::Outcome::TimedOut);
    EXPECT_GE(Since(start), 300ms);
    EXPECT_FALSE(second.Held());

    // Released: the next one gets it at once.
    first.Release();
    first.Release();
    EXPECT_EQ(second.Acquire(0ms), SingleInstance::Outcome::Acquired);
}

TEST_F(SingleInstanceTest, WaitingInstanceStartsAsSoonAsTheFirstEnds) {
    auto first = std::make_unique<SingleInstance>(dir_);
    ASSERT_EQ(first->Acquire(0ms), SingleInstance::Outcome::Acquired);
    std::thread ender([&first] {
        std::this_thread::sleep_for(200ms);
        first.reset();  // destruction releases
    });
    SingleInstance second(dir_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(second.Acquire(10s, 10ms), SingleInstance::Outcome::Acquired);
    ender.join();
    EXPECT_GE(Since(start), 150ms);
    EXPECT_LT(Since(start), 2s);
}

TEST_F(SingleInstanceTest, KilledHolderDoesNotBlockTheNextStart) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance held(dir_);
        const char ok = held.Acquire(1s) == SingleInstance::Outcome::Acquired ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(ok, 'y');

    SingleInstance next(dir_);
    EXPECT_EQ(next.Acquire(100ms), SingleInstance::Outcome::TimedOut);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(next.Acquire(5s), SingleInstance::Outcome::Acquired);
    EXPECT_LT(Since(start), 1s);
}

TEST_F(SingleInstanceTest, ChildProcessesDoNotInheritTheLock) {
    SingleInstance first(dir_);
    ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
    quenlo::platform::ProcessHandle sleeper =
        quenlo::platform::StartProcess("/bin/sleep", {"sleep", "30"});
    ASSERT_TRUE(sleeper.valid());
    first.Release();
    SingleInstance second(dir_);
    EXPECT_EQ(second.Acquire(200ms), SingleInstance::Outcome::Acquired);
    quenlo::platform::TerminateProcess(sleeper);
}

TEST_F(SingleInstanceTest, DirectoriesOthersControlAreNotUsed) {
    // Writable by others: someone else could hold or replace the lock file.
    ASSERT_EQ(::mkdir(dir_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    SingleInstance open(dir_);
    EXPECT_EQ(open.Acquire(0ms), SingleInstance::Outcome::Unprotected);

    // A symbolic link in place of the directory.
    const std::string target = base_ + "/elsewhere";
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    const std::string link = base_ + "/link";
    fs::create_directory_symlink(target, link);
    SingleInstance linked(link);
    EXPECT_EQ(linked.Acquire(0ms), SingleInstance::Outcome::Unprotected);

    // The lock file itself replaced by a symbolic link.
    const std::string own = base_ + "/own";
    ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
    fs::create_symlink(base_ + "/victim", own + "/QuenloSingleInstanceProgramMutex");
    SingleInstance swapped(own);
    EXPECT_EQ(swapped.Acquire(0ms), SingleInstance::Outcome::Unprotected);
    EXPECT_FALSE(fs::exists(base_ + "/victim"));
}

TEST_F(SingleInstanceTest, DefaultDirectoryFollowsTheRuntimeDirectory) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string keep = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    EXPECT_EQ(SingleInstance::DefaultDirectory(), dir_ + "/");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::DefaultDirectory(), "/tmp/quenlo-" + std::to_string(::getuid()) + "/");
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
}

}  // namespace
