// quenlo-cli request, walk-jobs and walk-printer as a script sees them: exact bytes and lines,
// exit codes and usage lines.
#include "cli/CliRun.h"
#include "ipp/Ipp.h"
#include "ipp/IppBody.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace quenlo {
namespace {

using test::RunCli;
using test::ShellQuoted;

const std::string kUri = "http://127.0.0.1:631/printers/laser";

std::string Captured(const std::string& name)
{
    return ShellQuoted(std::string(QUENLO_SOURCE_DIR) + "/tests/data/ipp/" + name + ".bin");
}

TEST(IppCliRequest, WritesTheBodiesTheMonitorSends)
{
    const std::string uri = "--uri " + ShellQuoted(kUri);
    EXPECT_EQ(RunCli("request get-jobs " + uri).out, BuildGetJobsRequest(kUri));
    EXPECT_EQ(RunCli("request get-printer-attributes " + uri).out, BuildGetPrinterAttributesRequest(kUri));
    const struct {
        const char* name;
        int op;
        bool job;
    } operations[] = {{"cancel-job", kIppCancelJob, true},         {"hold-job", kIppHoldJob, true},
                      {"release-job", kIppReleaseJob, true},       {"pause-printer", kIppPausePrinter, false},
                      {"resume-printer", kIppResumePrinter, false}, {"purge-jobs", kIppPurgeJobs, false}};
    for (const auto& o : operations) {
        SCOPED_TRACE(o.name);
        const std::string job = o.job ? " --job-id 42" : "";
        const test::CliOutcome withUser = RunCli(std::string("request ") + o.name + " " + uri + job + " --user bob");
        EXPECT_EQ(withUser.exitCode, 0);
        EXPECT_EQ(withUser.out, BuildOperationRequest(o.op, kUri, "bob", o.job ? 42 : -1));
        // Without --user the user name is sent empty.
        EXPECT_EQ(RunCli(std::string("request ") + o.name + " " + uri + job).out,
                  BuildOperationRequest(o.op, kUri, "", o.job ? 42 : -1));
    }
}

TEST(IppCliRequest, BadArgumentsGiveTheUsageLineAndExit2)
{
    const std::string uri = " --uri " + ShellQuoted(kUri);
    for (const std::string& arguments : {
             std::string("request") + uri,                                       // no OP
             std::string("request print-job") + uri,                             // unknown OP
             std::string("request get-jobs get-jobs") + uri,                     // two OPs
             std::string("request get-jobs"),                                    // no --uri
             std::string("request get-jobs --uri"),                              // --uri without value
             std::string("request cancel-job") + uri,                            // job op without job
             std::string("request purge-jobs --job-id 3") + uri,                 // printer op with job
             std::string("request hold-job --job-id -3") + uri,                  // negative job id
             std::string("request hold-job --job-id 12x") + uri,                 // not a number
             std::string("request hold-job --job-id 2147483648") + uri,          // beyond 32 bits
             std::string("request get-jobs --user bob") + uri,                   // a query takes no user
             std::string("request get-jobs --color red") + uri,                  // unknown option
             std::string("walk-jobs extra"), std::string("walk-printer --name"),
         }) {
        SCOPED_TRACE(arguments);
        const test::CliOutcome outcome = RunCli(arguments, "2>&1 >/dev/null </dev/null");
        EXPECT_EQ(outcome.exitCode, 2);
        const std::string command = arguments.substr(0, arguments.find(' '));
        EXPECT_NE(outcome.out.find("usage: quenlo-cli " + command), std::string::npos) << outcome.out;
    }
}

TEST(IppCliRequest, OverlongUriFailsWithoutOutput)
{
    const std::string uri = "http://" + std::string(70000, 'h');
    EXPECT_EQ(RunCli("request get-jobs --uri " + uri, "2>/dev/null").exitCode, 1);
    EXPECT_EQ(RunCli("request get-jobs --uri " + uri, "2>/dev/null").out, "");
    EXPECT_NE(RunCli("request get-jobs --uri " + uri, "2>&1 >/dev/null").out.find("65535"), std::string::npos);
}

TEST(IppCliWalk, JobRowsFromACapturedAnswer)
{
    const test::CliOutcome outcome = RunCli("walk-jobs --name office", "< " + Captured("get-jobs-held"));
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out,
              "1\toffice\talice\treport.pdf\t1 K\tpending-held\tjob-hold-until-specified\t12/08/26 04:57:36\n"
              "2\toffice\talice\treport.pdf\t1 K\tpending-held\tjob-hold-until-specified\t12/08/26 04:57:36\n"
              "3\toffice\tbob\tSz\xC3\xA1mla 2026\t5 K\tpending-held\tjob-hold-until-specified\t12/08/26 04:57:36\n"
              "4\toffice\tcarol\tposter.ps\t196 K\tpending-held\tjob-hold-until-specified\t12/08/26 04:57:36\n");
    // Without --name the printer column is empty; an empty or error answer gives no rows.
    EXPECT_EQ(RunCli("walk-jobs", "< " + Captured("get-jobs-held")).out.substr(0, 9), "1\t\talice\t");
    EXPECT_EQ(RunCli("walk-jobs --name x", "< /dev/null").out, "");
    EXPECT_EQ(RunCli("walk-jobs --name x", "< " + Captured("get-jobs-not-found")).out, "");
}

TEST(IppCliWalk, TextsFromTheServerStayOnTheirLineAndColumn)
{
    const std::string body = test::IppBody()
                                 .Header()
                                 .Tag(0x01)
                                 .Tag(0x02)
                                 .Int(0x21, "job-id", 9)
                                 .Attr(0x42, "job-name", "a\tb\\c\nd\r")
                                 .Int(0x21, "time-at-creation", 0)
                                 .Tag(0x03);
    char path[] = "/tmp/quenlo-cli-walk-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path, std::ios::binary) << body;
    EXPECT_EQ(RunCli("walk-jobs --name p", std::string("< ") + path).out,
              "9\tp\t\ta\\tb\\\\c\\nd\\r\t-1 K\t\t\t01/01/70\n");
    std::remove(path);
}

TEST(IppCliWalk, PrinterLampAndLine)
{
    EXPECT_EQ(RunCli("walk-printer --name idle", "< " + Captured("get-printer-idle")).out,
              "green\tidle - idle, accepting jobs\n");
    EXPECT_EQ(RunCli("walk-printer --name paused", "< " + Captured("get-printer-paused")).out,
              "yellow\tpaused - stopped, accepting jobs (Pap\xC3\xADrelakad\xC3\xA1s a 2. t\xC3\xA1lc\xC3\xA1"
              "ban)\n");
    const test::CliOutcome empty = RunCli("walk-printer --name p", "< /dev/null");
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "yellow\tp - unknown\n");
}

}  // namespace
}  // namespace quenlo
