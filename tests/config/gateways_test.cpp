// Gateway processes: started in order with their two arguments, marked when they cannot start,
// terminated (and reaped) at shutdown.
//
// The stand-in gateway is this test program itself: started under the name "Ferrowick.exe" with
// QUENLO_FAKE_GATEWAY_LOG set, it records its arguments and waits for SIGTERM (see PlayGateway).
#include "config/Gateways.h"
#include "config/PrintersFile.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLogVariable = "QUENLO_FAKE_GATEWAY_LOG";

// ---- The stand-in gateway ------------------------------------------------------------------------

int gatewayLog = -1;
char termLine[64];
std::size_t termLength = 0;

void OnGatewayTerm(int) {
    (void)!::write(gatewayLog, termLine, termLength);
    ::_exit(0);
}

std::vector<std::string> OwnArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0'))
        args.push_back(arg);
    return args;
}

// Runs before main: when this program was started as the gateway, it logs
//   start <TAB> pid <TAB> cwd <TAB> arg1 <TAB> arg2 ...
// and then "term <TAB> pid" on SIGTERM, and never returns to the tests.
[[maybe_unused]] const bool kPlaysGateway = [] {
    const char* log = std::getenv(kLogVariable);
    const std::vector<std::string> args = OwnArguments();
    if (!log || args.empty() || fs::path(args[0]).filename() != quenlo::kGatewayProgram)
        return false;
    gatewayLog = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const std::string pid = std::to_string(::getpid());
    termLength = ("term\t" + pid + "\n").copy(termLine, sizeof termLine);
    struct sigaction action {};
    action.sa_handler = OnGatewayTerm;
    ::sigaction(SIGTERM, &action, nullptr);
    std::string line = "start\t" + pid + "\t" + fs::current_path().string();
    for (std::size_t i = 1; i < args.size(); ++i)
        line += "\t" + args[i];
    line += "\n";
    (void)!::write(gatewayLog, line.data(), line.size());
    for (;;)
        ::pause();
}();

// ---- Helpers ------------------------------------------------------------------------------------

struct LogLine {
    std::string kind;
    pid_t pid = 0;
    std::vector<std::string> fields;  // for "start": cwd, then the arguments
};

std::vector<LogLine> ReadLog(const std::string& path) {
    std::ifstream in(path);
    std::vector<LogLine> lines;
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream fields(text);
        LogLine line;
        std::string pid;
        std::getline(fields, line.kind, '\t');
        std::getline(fields, pid, '\t');
        line.pid = static_cast<pid_t>(std::stol(pid));
        for (std::string f; std::getline(fields, f, '\t');)
            line.fields.push_back(f);
        lines.push_back(line);
    }
    return lines;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::size_t Count(const std::vector<LogLine>& log, const std::string& kind) {
    std::size_t n = 0;
    for (const LogLine& line : log)
        n += line.kind == kind;
    return n;
}

// A process that has been reaped is gone from /proc; a zombie is still there.
bool Gone(pid_t pid) { return !fs::exists("/proc/" + std::to_string(pid)); }

quenlo::TAList Entry(const std::string& name, std::int32_t localport) {
    quenlo::TAList entry;
    entry.name = name;
    entry.localport = localport;
    return entry;
}

class GatewaysTest : public ::testing::Test {
protected:
    void SetUp() override {
        exeDir_ = dir_ + "/bin/";
        fs::create_directories(exeDir_);
        fs::create_symlink(fs::read_symlink("/proc/self/exe"), exeDir_ + quenlo::kGatewayProgram);
        log_ = dir_ + "/gateways.log";
        ::setenv(kLogVariable, log_.c_str(), 1);
    }
    void TearDown() override {
        quenlo::StopGateways(printers_);
        ::unsetenv(kLogVariable);
    }

    // Appends an entry and starts its gateway the way the printers file reader does.
    quenlo::TAList& AddAndStart(const std::string& name, std::int32_t localport, const std::string& configDir) {
        quenlo::TAList& entry = printers_.emplace_back(Entry(name, localport));
        if (entry.localport >= 0)
            quenlo::StartGateway(entry, exeDir_, configDir);
        return entry;
    }

    quenlo::test::TempDir temp_{"gw"};
    const std::string dir_ = temp_.Path();
    std::string exeDir_;
    std::string log_;
    quenlo::PrinterList printers_;
};

// ---- Tests --------------------------------------------------------------------------------------

TEST(GatewayCommand, ProgramPathArgumentsAndQuotedLine) {
    EXPECT_EQ(quenlo::GatewayProgramPath("/opt/quenlo/"), "/opt/quenlo/Ferrowick.exe");
    EXPECT_EQ(quenlo::GatewayArguments("/opt/quenlo/", "/srv/data/", "Office Laser"),
              (std::vector<std::string>{"/opt/quenlo/Ferrowick.exe", "/srv/data/printers.qdl", "Office Laser"}));
    EXPECT_EQ(quenlo::GatewayCommandLine("/opt/quenlo/", "/srv/data/", "Laser"),
              "\"/opt/quenlo/Ferrowick.exe\" \"/srv/data/printers.qdl\" \"Laser\"");
    // An empty ConfigDir leaves the relative name; the pieces are not escaped.
    EXPECT_EQ(quenlo::GatewayCommandLine("/q/", "", "a\"b"), "\"/q/Ferrowick.exe\" \"printers.qdl\" \"a\"b\"");
}

TEST_F(GatewaysTest, StartInOrderWithTheirArgumentsAndStopAtShutdown) {
    AddAndStart("Laser", 9100, "/srv/conf/");
    AddAndStart("Office Laser", 9101, "/srv/conf/");
    AddAndStart("Local only", -1, "/srv/conf/");
    ASSERT_EQ(printers_.size(), 3u);
    EXPECT_TRUE(printers_[0].GatewayProcess.valid());
    EXPECT_TRUE(printers_[1].GatewayProcess.valid());
    EXPECT_FALSE(printers_[2].GatewayProcess.valid());
    EXPECT_EQ(printers_[2].GatewayState, 0);

    ASSERT_TRUE(WaitFor([&] { return Count(ReadLog(log_), "start") == 2; }));
    std::vector<LogLine> log = ReadLog(log_);
    // Each gateway got the file path and its own printer's name as one argument, and runs in our
    // working directory. (They log in whatever order they get going; the pid ties each to its entry.)
    const std::string cwd = fs::current_path().string();
    for (std::size_t i = 0; i < 2; ++i) {
        const quenlo::TAList& entry = printers_[i];
        auto line = std::find_if(log.begin(), log.end(),
                                 [&](const LogLine& l) { return l.pid == entry.GatewayProcess.pid; });
        ASSERT_NE(line, log.end()) << entry.name;
        EXPECT_EQ(line->fields, (std::vector<std::string>{cwd, "/srv/conf/printers.qdl", entry.name}));
    }

    const pid_t first = printers_[0].GatewayProcess.pid;
    const pid_t second = printers_[1].GatewayProcess.pid;
    quenlo::StopGateways(printers_);
    EXPECT_FALSE(printers_[0].GatewayProcess.valid());
    EXPECT_FALSE(printers_[1].GatewayProcess.valid());
    ASSERT_TRUE(WaitFor([&] { return Count(ReadLog(log_), "term") == 2; }));
    // Reaped, not left as zombies.
    EXPECT_TRUE(WaitFor([&] { return Gone(first) && Gone(second); }));
    // A second stop finds nothing to do.
    quenlo::StopGateways(printers_);
}

TEST_F(GatewaysTest, MissingProgramMarksTheEntryAndNothingElse) {
    fs::remove(exeDir_ + quenlo::kGatewayProgram);
    quenlo::TAList& entry = AddAndStart("Laser", 9100, "");
    EXPECT_EQ(entry.GatewayState, -1);
    EXPECT_FALSE(entry.GatewayProcess.valid());
    EXPECT_EQ(entry.name, "Laser");
    EXPECT_EQ(entry.localport, 9100);

    // A program that is there but may not be run is the same case.
    std::ofstream(exeDir_ + quenlo::kGatewayProgram) << "not a program\n";
    fs::permissions(exeDir_ + quenlo::kGatewayProgram, fs::perms::owner_read | fs::perms::owner_write);
    quenlo::TAList& second = AddAndStart("Office", 9101, "");
    EXPECT_EQ(second.GatewayState, -1);
    quenlo::StopGateways(printers_);
    EXPECT_FALSE(fs::exists(log_));
}

TEST_F(GatewaysTest, GatewayThatAlreadyEndedIsSimplyGone) {
    quenlo::TAList& entry = AddAndStart("Laser", 9100, "");
    ASSERT_TRUE(WaitFor([&] { return Count(ReadLog(log_), "start") == 1; }));
    const pid_t pid = entry.GatewayProcess.pid;
    ::kill(pid, SIGKILL);
    std::this_thread::sleep_for(50ms);
    quenlo::StopGateways(printers_);
    EXPECT_TRUE(WaitFor([&] { return Gone(pid); }));
    EXPECT_EQ(Count(ReadLog(log_), "term"), 0u);
}

TEST_F(GatewaysTest, ReaderStartsGatewaysAtEachEndprinterLine) {
    const std::string file = dir_ + "/printers.qdl";
    std::ofstream(file) << "<printer>\nname=First\nlocalport=9100\n<endprinter>\n"
                           "<printer>\nname=Skipped\nlocalport=-1\n<endprinter>\n"
                           "<printer>\nname=Third\nlocalport=0\n<endprinter>\n";
    quenlo::ProxySettings proxy;
    const std::string exeDir = exeDir_;
    std::vector<std::string> seenAtStart;
    ASSERT_TRUE(quenlo::ReadPrintersFile(dir_ + "/", printers_, proxy,
                                         [&](quenlo::TAList& entry, const std::string& configDir) {
                                             seenAtStart.push_back(entry.name);
                                             quenlo::StartGateway(entry, exeDir, configDir);
                                         }));
    EXPECT_EQ(seenAtStart, (std::vector<std::string>{"First", "Third"}));
    ASSERT_TRUE(WaitFor([&] { return Count(ReadLog(log_), "start") == 2; }));
    for (const LogLine& line : ReadLog(log_))
        EXPECT_EQ(line.fields.at(1), dir_ + "/printers.qdl");
}

}  // namespace
