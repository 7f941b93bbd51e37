// Gateway processes: started in order with their two arguments, marked when they cannot start,
// ended at shutdown. The same cases on Linux and under wine.
//
// The stand-in gateway, placed as "Ferrowick.exe" in a program folder of the test's own, logs
//   start <TAB> pid <TAB> cwd <TAB> arg1 <TAB> arg2 ...
// to the file named by QUENLO_FAKE_GATEWAY_LOG and waits to be ended. On Linux it is this test
// program itself (see PlayGateway), which also logs "term <TAB> pid" on SIGTERM; on Windows it is
// tests/win/ferrowick_standin.cpp, built beside this program, and TerminateProcess gives it no
// time to log anything.
#include "config/Gateways.h"
#include "config/PrintersFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "platform/Process.h"

#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLogVariable = "QUENLO_FAKE_GATEWAY_LOG";

// ---- What differs between the systems: the stand-in, the environment, and a process watched -----

#ifdef _WIN32
long OwnProcessId() { return static_cast<long>(::GetCurrentProcessId()); }
void SetLogVariable(const std::string& value) { _putenv_s(kLogVariable, value.c_str()); }

void PlaceStandIn(const std::string& exeDir)
{
    fs::copy_file(fs::path(quenlo::platform::ExecutableDir()) / quenlo::kGatewayProgram,
                  exeDir + quenlo::kGatewayProgram);
}

void KillFromOutside(long pid)
{
    const HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    ::TerminateProcess(h, 9);
    ::CloseHandle(h);
}

// A gateway seen from outside: the program's way to end it is TerminateProcess with exit code 0
// (the stand-in's own end gives 3).
class Watched {
public:
    explicit Watched(long pid)
        : handle_(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid))) {}
    ~Watched() { ::CloseHandle(handle_); }
    bool Ended() const { return ::WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }
    bool EndedByTheProgram(const std::string&) const
    {
        DWORD code = 99;
        return Ended() && ::GetExitCodeProcess(handle_, &code) && code == 0;
    }

private:
    HANDLE handle_;
};
#else
long OwnProcessId() { return static_cast<long>(::getpid()); }
void SetLogVariable(const std::string& value)
{
    value.empty() ? ::unsetenv(kLogVariable) : ::setenv(kLogVariable, value.c_str(), 1);
}
void PlaceStandIn(const std::string& exeDir)
{
    fs::create_symlink(fs::read_symlink("/proc/self/exe"), exeDir + quenlo::kGatewayProgram);
}
void KillFromOutside(long pid) { ::kill(static_cast<pid_t>(pid), SIGKILL); }

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

// Runs before main: when this program was started as the gateway, it logs its start, then its
// SIGTERM, and never returns to the tests.
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

bool LoggedTerm(const std::string& log, long pid);

// A gateway seen from outside: the program's way to end it is SIGTERM, and it is reaped (a zombie
// would still be in /proc).
class Watched {
public:
    explicit Watched(long pid) : pid_(pid) {}
    bool Ended() const { return !fs::exists("/proc/" + std::to_string(pid_)); }
    bool EndedByTheProgram(const std::string& log) const { return Ended() && LoggedTerm(log, pid_); }

private:
    long pid_;
};
#endif

// ---- Helpers ------------------------------------------------------------------------------------

struct LogLine {
    std::string kind;
    long pid = 0;
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
        line.pid = std::stol(pid);
        for (std::string f; std::getline(fields, f, '\t');)
            line.fields.push_back(f);
        lines.push_back(line);
    }
    return lines;
}

[[maybe_unused]] bool LoggedTerm(const std::string& log, long pid) {
    const std::vector<LogLine> lines = ReadLog(log);
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine& l) { return l.kind == "term" && l.pid == pid; });
}

// Generous: a new process under wine on a loaded machine may take seconds.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 60s) {
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

quenlo::TAList Entry(const std::string& name, std::int32_t localport) {
    quenlo::TAList entry;
    entry.name = name;
    entry.localport = localport;
    return entry;
}

class GatewaysTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(dir_);
        exeDir_ = (fs::path(dir_) / "bin").string() + static_cast<char>(fs::path::preferred_separator);
        fs::create_directories(exeDir_);
        PlaceStandIn(exeDir_);
        log_ = (fs::path(dir_) / "gateways.log").string();
        SetLogVariable(log_);
    }
    void TearDown() override {
        quenlo::StopGateways(printers_);
        SetLogVariable("");
        // A gateway ended from outside may hold its program file a moment longer.
        std::error_code ignored;
        WaitFor([&] { return fs::remove_all(dir_, ignored) != static_cast<std::uintmax_t>(-1); }, 10s);
    }

    // Appends an entry and starts its gateway the way the printers file reader does.
    quenlo::TAList& AddAndStart(const std::string& name, std::int32_t localport, const std::string& configDir) {
        quenlo::TAList& entry = printers_.emplace_back(Entry(name, localport));
        if (entry.localport >= 0)
            quenlo::StartGateway(entry, exeDir_, configDir);
        return entry;
    }

    // The process id names the folder: ctest runs each test in a process of its own.
    const std::string dir_ = (fs::temp_directory_path() / ("quenlo-gw-" + std::to_string(OwnProcessId()))).string();
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

    const Watched first(printers_[0].GatewayProcess.pid);
    const Watched second(printers_[1].GatewayProcess.pid);
    quenlo::StopGateways(printers_);
    EXPECT_FALSE(printers_[0].GatewayProcess.valid());
    EXPECT_FALSE(printers_[1].GatewayProcess.valid());
    EXPECT_TRUE(WaitFor([&] { return first.EndedByTheProgram(log_) && second.EndedByTheProgram(log_); }));
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

    // A program that is there but cannot be run is the same case.
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
    const Watched gateway(entry.GatewayProcess.pid);
    KillFromOutside(entry.GatewayProcess.pid);
    std::this_thread::sleep_for(50ms);
    quenlo::StopGateways(printers_);
    EXPECT_TRUE(WaitFor([&] { return gateway.Ended(); }));
    EXPECT_EQ(Count(ReadLog(log_), "term"), 0u);
}

TEST_F(GatewaysTest, ReaderStartsGatewaysAtEachEndprinterLine) {
    const std::string configDir = dir_ + static_cast<char>(fs::path::preferred_separator);
    std::ofstream(configDir + "printers.qdl") << "<printer>\nname=First\nlocalport=9100\n<endprinter>\n"
                                                 "<printer>\nname=Skipped\nlocalport=-1\n<endprinter>\n"
                                                 "<printer>\nname=Third\nlocalport=0\n<endprinter>\n";
    quenlo::ProxySettings proxy;
    const std::string exeDir = exeDir_;
    std::vector<std::string> seenAtStart;
    ASSERT_TRUE(quenlo::ReadPrintersFile(configDir, printers_, proxy,
                                         [&](quenlo::TAList& entry, const std::string& at) {
                                             seenAtStart.push_back(entry.name);
                                             quenlo::StartGateway(entry, exeDir, at);
                                         }));
    EXPECT_EQ(seenAtStart, (std::vector<std::string>{"First", "Third"}));
    ASSERT_TRUE(WaitFor([&] { return Count(ReadLog(log_), "start") == 2; }));
    for (const LogLine& line : ReadLog(log_))
        EXPECT_EQ(line.fields.at(1), configDir + "printers.qdl");
}

}  // namespace
