// The private CUPS server that the other tests and the demo run against.
#include "ipp/Ipp.h"
#include "support/CupsLab.h"
#include "support/LocalServers.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace quenlo::test {
namespace {

// What the lab serves, read with the project's codec (whose bytes tests/ipp checks): the status,
// and each attribute's values, a text as it stands and a number as its digits.
struct IppReply {
    int status = -1;
    std::multimap<std::string, std::string> values;
};

IppReply Ask(const CupsLab& lab, const std::string& printer, const IppMessage& request)
{
    IppReply reply;
    const auto header = WalkResponse(
        PostIpp(lab.Port(), CupsLab::PrinterPath(printer), request), kIppPrinterWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            reply.values.emplace(a.name, a.text.empty() ? std::to_string(a.integer) : std::string(a.text));
        },
        nullptr);
    if (header)
        reply.status = header->statusCode;
    return reply;
}

std::vector<std::string> All(const IppReply& r, const std::string& name)
{
    std::vector<std::string> out;
    auto [from, to] = r.values.equal_range(name);
    for (auto it = from; it != to; ++it)
        out.push_back(it->second);
    return out;
}

IppReply PrinterAttributes(const CupsLab& lab, const std::string& printer)
{
    return Ask(lab, printer, BuildGetPrinterAttributesRequest(lab.PrinterUri(printer)));
}

std::size_t HeldJobs(const CupsLab& lab, const std::string& printer)
{
    return All(Ask(lab, printer, BuildGetJobsRequest(lab.PrinterUri(printer))), "job-id").size();
}

TEST(CupsLab, ServesHeldJobsWithTheirOwnersAndTitles)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("held");
    lab.HoldJobs(printer, 2, {.user = "anna", .size = 3000, .title = "Quarterly report"});
    lab.HoldJobs(printer, 1, {.user = "bela"});

    IppReply r = Ask(lab, printer,
                     BuildGetJobsRequest(lab.PrinterUri(printer), {"job-id", "job-originating-user-name", "job-name",
                                                                   "job-state", "job-k-octets"}));
    ASSERT_EQ(r.status, 0x0000);
    ASSERT_EQ(All(r, "job-id").size(), 3u);
    EXPECT_EQ(All(r, "job-originating-user-name"),
              (std::vector<std::string>{"anna", "anna", "bela"}));
    EXPECT_EQ(All(r, "job-name"),
              (std::vector<std::string>{"Quarterly report", "Quarterly report", "job 1"}));
    EXPECT_EQ(All(r, "job-state"), (std::vector<std::string>(3, "4"))) << "pending-held";
    EXPECT_EQ(All(r, "job-k-octets")[0], "3");

    ProcessResult lpstat = RunProcess({"/usr/bin/lpstat", "-h", lab.HostPort(), "-o", printer});
    EXPECT_NE(lpstat.out.find(printer + "-"), std::string::npos) << lpstat.out << lpstat.err;
    EXPECT_NE(lpstat.out.find("anna"), std::string::npos);
}

TEST(CupsLab, PauseShowsItsMessageAndResumeClearsTheStop)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("paused");
    lab.Pause(printer, "Papir elakadt a 2. talcaban");

    IppReply r = PrinterAttributes(lab, printer);
    ASSERT_EQ(r.status, 0x0000);
    EXPECT_EQ(All(r, "printer-state").at(0), "5") << "stopped";
    EXPECT_EQ(All(r, "printer-state-message").at(0), "Papir elakadt a 2. talcaban");
    EXPECT_NE(All(r, "printer-is-accepting-jobs").at(0), "0");

    lab.Resume(printer);
    EXPECT_EQ(All(PrinterAttributes(lab, printer), "printer-state").at(0), "3") << "idle";
}

TEST(CupsLab, GuardedServerRefusesAnonymousOperations)
{
    QUENLO_REQUIRE_CUPS_LAB_AUTH(lab);
    const std::string printer = lab.AddUniquePrinter("guarded");
    lab.HoldJobs(printer, 1, {.user = "anna"});
    lab.Pause(printer, "Closed for service");

    HttpReply pause = PostHttp10(lab.Port(), CupsLab::PrinterPath(printer),
                                 BuildOperationRequest(kIppPausePrinter, lab.PrinterUri(printer), "", -1));
    EXPECT_EQ(pause.status, 401) << pause.reason;
    EXPECT_EQ(GetHttp10(lab.Port(), "/admin/?op=start-printer&printer_name=" + printer).status, 401);

    // Reading stays open, and the refusal changed nothing.
    EXPECT_EQ(All(PrinterAttributes(lab, printer), "printer-state-message").at(0), "Closed for service");
    EXPECT_EQ(HeldJobs(lab, printer), 1u);
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
    EXPECT_EQ(HeldJobs(lab, printer), 300u);
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
    QUENLO_NEED(CupsLab::MissingTools());
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

}  // namespace
}  // namespace quenlo::test
