// The private CUPS server that the other tests and the demo run against.
#include "support/CupsLab.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace quenlo::test {
namespace {

// A minimal IPP/1.1 request writer and attribute walker, enough to check the server from outside
// the project's own codec.
std::string Attr(std::uint8_t tag, const std::string& name, const std::string& value)
{
    std::string a(1, static_cast<char>(tag));
    a += static_cast<char>(name.size() >> 8);
    a += static_cast<char>(name.size() & 0xff);
    a += name;
    a += static_cast<char>(value.size() >> 8);
    a += static_cast<char>(value.size() & 0xff);
    a += value;
    return a;
}

std::string Request(std::uint16_t operation, const std::string& printerUri,
                    const std::string& extra = {})
{
    std::string r = {1, 1, static_cast<char>(operation >> 8), static_cast<char>(operation & 0xff),
                     0, 0, 0, 7};
    r += '\x01';  // operation-attributes-tag
    r += Attr(0x47, "attributes-charset", "utf-8");
    r += Attr(0x48, "attributes-natural-language", "en-us");
    r += Attr(0x45, "printer-uri", printerUri);
    r += extra;
    r += '\x03';  // end-of-attributes-tag
    return r;
}

std::string JobIdAttr(int id)
{
    std::string v = {0, 0, static_cast<char>(id >> 8), static_cast<char>(id & 0xff)};
    return Attr(0x21, "job-id", v);
}

struct IppReply {
    int status = -1;
    std::multimap<std::string, std::string> values;  // attribute name -> each raw value
};

IppReply Walk(const std::string& body)
{
    IppReply reply;
    if (body.size() < 8)
        return reply;
    auto u16 = [&](std::size_t at) {
        return (static_cast<unsigned char>(body[at]) << 8) | static_cast<unsigned char>(body[at + 1]);
    };
    reply.status = u16(2);
    std::size_t at = 8;
    std::string name;
    while (at < body.size()) {
        auto tag = static_cast<unsigned char>(body[at]);
        if (tag == 0x03)
            break;
        if (tag < 0x10) {
            ++at;
            continue;
        }
        if (at + 3 > body.size())
            break;
        std::size_t nameLen = u16(at + 1);
        if (at + 3 + nameLen + 2 > body.size())
            break;
        if (nameLen > 0)
            name = body.substr(at + 3, nameLen);
        std::size_t valueLen = u16(at + 3 + nameLen);
        std::size_t valueAt = at + 5 + nameLen;
        if (valueAt + valueLen > body.size())
            break;
        reply.values.emplace(name, body.substr(valueAt, valueLen));
        at = valueAt + valueLen;
    }
    return reply;
}

int AsInt(const std::string& v)
{
    int n = 0;
    for (char c : v)
        n = (n << 8) | static_cast<unsigned char>(c);
    return n;
}

std::vector<std::string> All(const IppReply& r, const std::string& name)
{
    std::vector<std::string> out;
    auto [from, to] = r.values.equal_range(name);
    for (auto it = from; it != to; ++it)
        out.push_back(it->second);
    return out;
}

constexpr std::uint16_t kCancelJob = 0x0008, kGetJobs = 0x000a,
                        kGetPrinterAttributes = 0x000b, kHoldJob = 0x000c, kReleaseJob = 0x000d,
                        kPausePrinter = 0x0010, kResumePrinter = 0x0011, kPurgeJobs = 0x0012;

IppReply Ask(const CupsLab& lab, const std::string& printer, std::uint16_t op,
             const std::string& extra = {})
{
    return Walk(PostIpp(lab.Port(), CupsLab::PrinterPath(printer),
                        Request(op, lab.PrinterUri(printer), extra)));
}

std::vector<int> HeldJobIds(const CupsLab& lab, const std::string& printer)
{
    std::vector<int> ids;
    IppReply r = Ask(lab, printer, kGetJobs, Attr(0x44, "which-jobs", "not-completed"));
    for (const std::string& v : All(r, "job-id"))
        ids.push_back(AsInt(v));
    return ids;
}

TEST(CupsLab, ServesHeldJobsWithTheirOwnersAndTitles)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("held");
    lab.HoldJobs(printer, 2, {.user = "anna", .size = 3000, .title = "Quarterly report"});
    lab.HoldJobs(printer, 1, {.user = "bela"});

    IppReply r = Ask(lab, printer, kGetJobs,
                     Attr(0x44, "requested-attributes", "job-id") +
                         Attr(0x44, "", "job-originating-user-name") + Attr(0x44, "", "job-name") +
                         Attr(0x44, "", "job-state") + Attr(0x44, "", "job-k-octets"));
    ASSERT_EQ(r.status, 0x0000);
    ASSERT_EQ(All(r, "job-id").size(), 3u);
    EXPECT_EQ(All(r, "job-originating-user-name"),
              (std::vector<std::string>{"anna", "anna", "bela"}));
    EXPECT_EQ(All(r, "job-name"),
              (std::vector<std::string>{"Quarterly report", "Quarterly report", "job 1"}));
    for (const std::string& state : All(r, "job-state"))
        EXPECT_EQ(AsInt(state), 4) << "pending-held";
    EXPECT_EQ(AsInt(All(r, "job-k-octets")[0]), 3);

    ProcessResult lpstat = RunProcess({"/usr/bin/lpstat", "-h", lab.HostPort(), "-o", printer});
    EXPECT_NE(lpstat.out.find(printer + "-"), std::string::npos) << lpstat.out << lpstat.err;
    EXPECT_NE(lpstat.out.find("anna"), std::string::npos);
}

TEST(CupsLab, PauseShowsItsMessageAndResumeClearsTheStop)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("paused");
    lab.Pause(printer, "Papir elakadt a 2. talcaban");

    IppReply r = Ask(lab, printer, kGetPrinterAttributes);
    ASSERT_EQ(r.status, 0x0000);
    EXPECT_EQ(AsInt(All(r, "printer-state").at(0)), 5) << "stopped";
    EXPECT_EQ(All(r, "printer-state-message").at(0), "Papir elakadt a 2. talcaban");
    EXPECT_EQ(All(r, "printer-is-accepting-jobs").at(0), std::string(1, '\x01'));

    lab.Resume(printer);
    r = Ask(lab, printer, kGetPrinterAttributes);
    EXPECT_EQ(AsInt(All(r, "printer-state").at(0)), 3) << "idle";
}

// Tests act as an anonymous user on 127.0.0.1 against jobs of other users.
TEST(CupsLab, AnonymousClientsMayRunEveryOperation)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("open");
    lab.HoldJobs(printer, 3, {.user = "anna"});
    std::vector<int> ids = HeldJobIds(lab, printer);
    ASSERT_EQ(ids.size(), 3u);

    EXPECT_EQ(Ask(lab, printer, kReleaseJob, JobIdAttr(ids[0])).status, 0x0000);
    EXPECT_EQ(Ask(lab, printer, kHoldJob, JobIdAttr(ids[1])).status, 0x0000);
    EXPECT_EQ(Ask(lab, printer, kCancelJob, JobIdAttr(ids[1])).status, 0x0000);
    EXPECT_EQ(Ask(lab, printer, kPausePrinter).status, 0x0000);
    EXPECT_EQ(Ask(lab, printer, kResumePrinter).status, 0x0000);
    EXPECT_EQ(Ask(lab, printer, kPurgeJobs).status, 0x0000);
    EXPECT_TRUE(HeldJobIds(lab, printer).empty());
}

TEST(CupsLab, GuardedServerRefusesAnonymousOperations)
{
    QUENLO_REQUIRE_CUPS_LAB_AUTH(lab);
    const std::string printer = lab.AddUniquePrinter("guarded");
    lab.HoldJobs(printer, 1, {.user = "anna"});
    lab.Pause(printer, "Closed for service");

    HttpReply pause = PostHttp10(lab.Port(), CupsLab::PrinterPath(printer),
                                 Request(kPausePrinter, lab.PrinterUri(printer)));
    EXPECT_EQ(pause.status, 401) << pause.statusLine;
    EXPECT_EQ(GetHttp10(lab.Port(), "/admin/?op=start-printer&printer_name=" + printer).status, 401);

    // Reading stays open, and the refusal changed nothing.
    IppReply r = Ask(lab, printer, kGetPrinterAttributes);
    EXPECT_EQ(All(r, "printer-state-message").at(0), "Closed for service");
    EXPECT_EQ(HeldJobIds(lab, printer).size(), 1u);
}

TEST(CupsLab, FastModeQueuesManyJobs)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("many");
    lab.HoldJobs(printer, 300, {.user = "batch", .size = 10, .fast = true});
    ProcessResult lpstat = RunProcess({"/usr/bin/lpstat", "-h", lab.HostPort(), "-o", printer});
    int lines = 0;
    for (char c : lpstat.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 300);
    EXPECT_EQ(HeldJobIds(lab, printer).size(), 300u);
}

TEST(CupsLab, BadScriptArgumentsFailWithoutHarm)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    EXPECT_THROW(lab.HoldJobs("no-such-printer", 1), std::runtime_error);
    EXPECT_THROW(lab.HoldJobs("x", 1, {.size = 0}), std::runtime_error);
    EXPECT_NE(lab.Script("frobnicate").exitCode, 0);
    EXPECT_EQ(GetHttp10(lab.Port(), "/").status, 200);
}

// An ended process that nobody has reaped yet counts as gone.
bool Alive(int pid)
{
    if (::kill(pid, 0) != 0)
        return false;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0)
            return line.find('Z') == std::string::npos;
    }
    return false;
}

TEST(CupsLab, StopLeavesNothingBehind)
{
    if (!CupsLab::MissingTools().empty()) {
        if (InCi())
            GTEST_FAIL() << CupsLab::MissingTools();
        GTEST_SKIP() << CupsLab::MissingTools();
    }
    CupsLab lab;
    const int server = lab.ServerPid();
    ASSERT_GT(server, 0);
    std::ifstream watcherFile(lab.Dir() + "/watcher.pid");
    int watcher = 0;
    watcherFile >> watcher;
    ASSERT_GT(watcher, 0);
    const std::string dir = lab.Dir();
    const int port = lab.Port();

    lab.Stop();
    EXPECT_FALSE(Alive(server));
    // The watcher is told to end; give it a bounded moment.
    for (int i = 0; i < 30 && Alive(watcher); ++i)
        ::usleep(100000);
    EXPECT_FALSE(Alive(watcher));
    struct stat st {};
    EXPECT_NE(::stat(dir.c_str(), &st), 0) << dir << " is left";
    EXPECT_THROW(GetHttp10(port, "/", std::chrono::seconds(2)), std::runtime_error);
    lab.Stop();
}

TEST(PostHttp10, GivesUpOnAServerThatNeverAnswers)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const int port = ntohs(addr.sin_port);

    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(PostHttp10(port, "/", "x", "text/plain", std::chrono::milliseconds(300)),
                 std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ::close(fd);
    EXPECT_THROW(PostHttp10(port, "/", "x"), std::runtime_error) << "nothing listens any more";
}

}  // namespace
}  // namespace quenlo::test
