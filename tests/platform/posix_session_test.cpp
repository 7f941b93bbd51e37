// What only Linux has: the single-instance lock as a file in a private folder (a killed holder, a
// child process, folders others control), and where the settings file is looked for.
#include "platform/Process.h"
#include "platform/Settings.h"
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

namespace quenlo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::SingleInstance;

class PosixSingleInstanceTest : public ::testing::Test {
protected:
    static std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }

    TempDir temp_{"si"};
    const std::string base_ = temp_.Path();
    const std::string dir_ = base_ + "/run";
};

TEST_F(PosixSingleInstanceTest, KilledHolderDoesNotBlockTheNextStart) {
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

TEST_F(PosixSingleInstanceTest, ChildProcessesDoNotInheritTheLock) {
    SingleInstance first(dir_);
    ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
    platform::ProcessHandle sleeper =
        platform::StartProcess("/bin/sleep", {"sleep", "30"});
    ASSERT_TRUE(sleeper.valid());
    first.Release();
    SingleInstance second(dir_);
    EXPECT_EQ(second.Acquire(200ms), SingleInstance::Outcome::Acquired);
    platform::TerminateProcess(sleeper);
}

TEST_F(PosixSingleInstanceTest, DirectoriesOthersControlAreNotUsed) {
    // The lock file is made in a private folder of our own.
    {
        SingleInstance first(dir_);
        ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
        EXPECT_TRUE(fs::exists(dir_ + "/QuenloSingleInstanceProgramMutex"));
        EXPECT_EQ(fs::status(dir_).permissions() & fs::perms::all, fs::perms::owner_all);
    }
    fs::remove_all(dir_);
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

TEST_F(PosixSingleInstanceTest, DefaultDirectoryFollowsTheRuntimeDirectory) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string keep = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    EXPECT_EQ(SingleInstance::DefaultDirectory(), dir_ + "/");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::DefaultDirectory(), "/tmp/quenlo-" + std::to_string(::getuid()) + "/");
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
}

TEST(PosixSettings, FileLocationFollowsTheEnvironment)
{
    test::ScopedEnv env("HOME", "/home/anna");
    env.Set("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(platform::SettingsFilePath(), "/home/anna/.config/Dorvane/Quenlo.conf");
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(platform::SettingsFilePath(), "/xdg/Dorvane/Quenlo.conf");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(platform::UserConfigHome(), "/home/anna/.config");
    ::unsetenv("HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(platform::SettingsFilePath(), "");
    EXPECT_FALSE(platform::Settings::OpenUser().has_value());
}

}  // namespace
}  // namespace quenlo::test
