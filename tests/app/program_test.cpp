// The real quenlo program, started as a user starts it: silent end without a printers file, one
// instance at a time, and its gateways started in file order and gone when it ends.
#include "AppFixture.h"
#include "support/LocalServers.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sys/wait.h>

namespace {

using namespace quenlo::apptest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

extern "C" char** environ;

// A copy of the program beside the stand-in gateway, run in a private folder. Every run of one
// Installation shares the same single-instance lock directory.
class Installation {
public:
    explicit Installation(const std::string& base) : base_(base), gateways_(base) {
        fs::copy_file(QUENLO_APP_BINARY, gateways_.ExeDir() + "quenlo");
    }

    const GatewayFolder& Gateways() const { return gateways_; }

    // Starts the program with `args` after its name, its standard error into `errFile` when given;
    // returns its pid.
    pid_t Start(std::vector<std::string> args = {}, const std::string& errFile = "") const {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name != "HOME" && name != "XDG_CONFIG_HOME" && name != "XDG_RUNTIME_DIR" &&
                name != "QT_QPA_PLATFORM" && name != "DISPLAY" && name != "WAYLAND_DISPLAY")
                env.push_back(entry);
        }
        env.push_back("HOME=" + base_ + "/home");
        env.push_back("XDG_CONFIG_HOME=" + base_ + "/config");
        env.push_back("XDG_RUNTIME_DIR=" + base_ + "/run");
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string program = gateways_.ExeDir() + "quenlo";
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!errFile.empty() && std::freopen(errFile.c_str(), "w", stderr) == nullptr)
                ::_exit(126);
            if (::chdir(base_.c_str()) == 0)
                ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        return pid;
    }

private:
    std::string base_;
    GatewayFolder gateways_;
};

// Waits up to `limit` for the process to end; its exit code, or nullopt when it still runs.
std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || Clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Ends a program the polite way and reaps it; kills it when it does not end.
std::optional<int> Close(pid_t pid) {
    ::kill(pid, SIGTERM);
    std::optional<int> code = WaitExit(pid, 10s);
    if (!code) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return code;
}

// The state letter of a process ('R', 'S', 'Z' for an ended child nobody reaped, ...), or 0 when
// there is no such process.
char ProcessState(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return 0;
    // pid (comm) state ...; comm may hold spaces and parentheses.
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

class ProgramTest : public ::testing::Test {
protected:
    PrivateFolder folder_;  // also keeps the test program's own environment out of the way
};

TEST_F(ProgramTest, EndsSilentlyWithoutAPrintersFile) {
    Installation quenlo(folder_.Dir());
    const auto start = Clock::now();
    const pid_t pid = quenlo.Start();
    const std::optional<int> code = WaitExit(pid, 10s);
    if (!code)
        Close(pid);
    ASSERT_TRUE(code.has_value()) << "still running without a printers file";
    EXPECT_EQ(*code, 0);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(quenlo.Gateways().Count("start"), 0u);
}

// Started from the menu, the same start explains itself and waits for the user; the explanation
// also goes to standard error, which is what is read here (the box is on an offscreen display).
TEST_F(ProgramTest, FromTheMenuAStartWithoutPrintersExplainsItself) {
    Installation quenlo(folder_.Dir());
    const std::string err = folder_.Dir() + "/err.txt";
    const pid_t pid = quenlo.Start({"--from-menu"}, err);
    const bool explained = WaitUntil([&] { return quenlo::test::ReadWholeFile(err).find("quenlo-cli add") != std::string::npos; }, 20s);
    EXPECT_TRUE(explained) << quenlo::test::ReadWholeFile(err);
    EXPECT_FALSE(WaitExit(pid, 300ms).has_value()) << "ended before the user saw the box";
    EXPECT_EQ(Close(pid), 0);
    const std::string text = quenlo::test::ReadWholeFile(err);
    EXPECT_NE(text.find(folder_.Dir() + "/config/Dorvane/Quenlo/"), std::string::npos) << text;
    EXPECT_NE(text.find(folder_.Dir() + "/home/"), std::string::npos) << text;

    // A file without printers is named as such.
    fs::create_directories(folder_.Dir() + "/config/Dorvane/Quenlo");
    std::ofstream(folder_.Dir() + "/config/Dorvane/Quenlo/printers.qdl") << "<global>\n<endglobal>\n";
    const pid_t second = quenlo.Start({"--from-menu"}, err);
    EXPECT_TRUE(WaitUntil([&] { return quenlo::test::ReadWholeFile(err).find("egyetlen nyomtatót sem") != std::string::npos; }, 20s))
        << quenlo::test::ReadWholeFile(err);
    EXPECT_EQ(Close(second), 0);
}

TEST_F(ProgramTest, HelpAndVersion) {
    Installation quenlo(folder_.Dir());
    const std::string out = folder_.Dir() + "/out.txt";
    for (const char* option : {"--version", "--help"}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (std::freopen(out.c_str(), "w", stdout) != nullptr)
                ::execl(QUENLO_APP_BINARY, "quenlo", option, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        EXPECT_EQ(WaitExit(pid, 10s), 0) << option;
        EXPECT_EQ(quenlo::test::ReadWholeFile(out).rfind(option == std::string("--version") ? "quenlo 0." : "usage: quenlo ", 0), 0u)
            << quenlo::test::ReadWholeFile(out);
    }
}

TEST_F(ProgramTest, ToolkitOptionsOnTheCommandLineHaveNoEffect) {
    // A toolkit that read these would fail to find the platform and abort.
    Installation quenlo(folder_.Dir());
    const pid_t pid = quenlo.Start({"-platform", "no-such-platform", "-style", "windows", "-reverse"});
    const std::optional<int> code = WaitExit(pid, 10s);
    if (!code)
        Close(pid);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
}

TEST_F(ProgramTest, AGatewayThatEndsOnItsOwnIsReapedWhileTheProgramRuns) {
    Installation quenlo(folder_.Dir());
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser", 9100));
    ScopedEnv exits("QUENLO_FAKE_GATEWAY_EXIT", "1");
    const pid_t pid = quenlo.Start();
    ASSERT_TRUE(WaitUntil([&] { return quenlo.Gateways().Count("start") == 1; }, 10s));
    const std::string gateway = quenlo.Gateways().Lines().at(0).pid;
    EXPECT_TRUE(WaitUntil([&] { return ProcessState(gateway) == 0; }, 10s))
        << "the ended gateway is left in state " << ProcessState(gateway);
    EXPECT_FALSE(WaitExit(pid, 100ms).has_value());  // the program itself goes on
    EXPECT_EQ(Close(pid), 0);
}

TEST_F(ProgramTest, GatewaysRunWhileTheProgramRunsAndEndWithIt) {
    Installation quenlo(folder_.Dir());
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser", 9100) +
                              PrinterBlock("Nincs", DeadAddress(), "/printers/Nincs", -1) +
                              PrinterBlock("Office Laser", DeadAddress(), "/printers/Office", 9101));
    const pid_t pid = quenlo.Start();
    ASSERT_TRUE(WaitUntil([&] { return quenlo.Gateways().Count("start") == 2; }, 10s));
    std::vector<std::vector<std::string>> started;
    for (const GatewayLogLine& line : quenlo.Gateways().Lines())
        started.push_back(line.fields);
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<std::vector<std::string>>{{folder_.Dir(), "printers.qdl", "Laser"},
                                                              {folder_.Dir(), "printers.qdl", "Office Laser"}}));
    EXPECT_FALSE(WaitExit(pid, 500ms).has_value());  // it keeps running

    EXPECT_EQ(Close(pid), 0);
    EXPECT_TRUE(WaitUntil([&] { return quenlo.Gateways().Count("term") == 2; }, 5s));
}

TEST_F(ProgramTest, OneInstanceAtATime) {
    Installation quenlo(folder_.Dir());
    folder_.WritePrintersFile(PrinterBlock("Laser", DeadAddress(), "/printers/Laser", 9100));

    const pid_t first = quenlo.Start();
    ASSERT_TRUE(WaitUntil([&] { return quenlo.Gateways().Count("start") == 1; }, 10s));

    // A second start while the first runs: it waits 10 s, starts nothing and ends with 0.
    const auto secondStart = Clock::now();
    const pid_t second = quenlo.Start();
    const std::optional<int> secondCode = WaitExit(second, 15s);
    const auto waited = Clock::now() - secondStart;
    if (!secondCode)
        Close(second);
    ASSERT_TRUE(secondCode.has_value());
    EXPECT_EQ(*secondCode, 0);
    EXPECT_GE(waited, 9500ms);
    EXPECT_LT(waited, 14s);
    EXPECT_EQ(quenlo.Gateways().Count("start"), 1u);

    // A third start within those 10 s starts as soon as the first one has ended.
    const pid_t third = quenlo.Start();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(quenlo.Gateways().Count("start"), 1u);
    const auto firstEnd = Clock::now();
    EXPECT_EQ(Close(first), 0);
    EXPECT_TRUE(WaitUntil([&] { return quenlo.Gateways().Count("start") == 2; }, 5s));
    EXPECT_LT(Clock::now() - firstEnd, 5s);

    EXPECT_EQ(Close(third), 0);
    EXPECT_TRUE(WaitUntil([&] { return quenlo.Gateways().Count("term") == 2; }, 5s));
}

}  // namespace
