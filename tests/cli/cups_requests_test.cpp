// Every request body that quenlo-cli writes is answered successful-ok by a real CUPS server.
#include "cli/CliRun.h"
#include "ipp/Ipp.h"
#include "support/CupsLab.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quenlo {
namespace {

using test::RunCli;
using test::ShellQuoted;

// The IPP status-code of an answer; -1 when the answer is too short to carry one.
int StatusCode(const std::string& answer)
{
    if (answer.size() <= 10)
        return -1;
    IppResponseStream stream(answer);
    return ReadResponseHeader(stream).statusCode;
}

std::vector<int> JobIds(const std::string& answer)
{
    std::vector<int> ids;
    WalkResponse(
        answer, kIppJobWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (a.name == "job-id")
                ids.push_back(a.integer);
        },
        nullptr);
    return ids;
}

TEST(CupsRequests, EveryRequestBodyIsAnsweredSuccessfulOk)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("codec");
    lab.HoldJobs(printer, 3, {.user = "anna", .title = "held"});
    const std::string url = lab.PrinterUrl(printer);
    const std::string path = test::CupsLab::PrinterPath(printer);

    const auto post = [&](const std::string& arguments) {
        const test::CliOutcome request = RunCli("request " + arguments + " --uri " + ShellQuoted(url));
        EXPECT_EQ(request.exitCode, 0) << arguments;
        return test::PostIpp(lab.Port(), path, request.out);
    };

    const std::string jobs = post("get-jobs");
    EXPECT_EQ(StatusCode(jobs), 0);
    const std::vector<int> ids = JobIds(jobs);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(StatusCode(post("get-printer-attributes")), 0);

    // The job and printer operations, each with a user name and the version its body declares.
    for (const std::string& operation : {
             "hold-job --job-id " + std::to_string(ids[0]) + " --user quenlo",
             "release-job --job-id " + std::to_string(ids[0]) + " --user quenlo",
             "cancel-job --job-id " + std::to_string(ids[1]) + " --user quenlo",
             std::string("pause-printer --user quenlo"),
             std::string("resume-printer --user quenlo"),
             std::string("purge-jobs --user quenlo"),
         }) {
        EXPECT_EQ(StatusCode(post(operation)), 0) << operation;
    }
    EXPECT_TRUE(JobIds(post("get-jobs")).empty());
}

}  // namespace
}  // namespace quenlo
