// The texts of the refresh: job rows, creation times and the printer line with its lamp, from
// hand-built and captured answers.
#include "monitor/PrinterSays.h"
#include "monitor/RefreshText.h"
#include "ipp/IppBody.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace quenlo {
namespace {

using test::CapturedIpp;
using test::IppBody;

// The C locale's formats ("%m/%d/%y", "%H:%M:%S") make the date texts fixed, and a far-off time
// zone shows that no zone shift is applied.
class RefreshText : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedLocale_ = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "C");
        if (const char* tz = std::getenv("TZ"))
            savedTz_ = tz;
        setenv("TZ", "Pacific/Kiritimati", 1);
        tzset();
    }
    void TearDown() override
    {
        std::setlocale(LC_ALL, savedLocale_.c_str());
        if (savedTz_)
            setenv("TZ", savedTz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string savedLocale_;
    std::optional<std::string> savedTz_;
};

TEST_F(RefreshText, CreationTimeIsUtcClockTimeInTheLocaleFormats)
{
    EXPECT_EQ(CreationTimeText(0), "01/01/70");  // midnight: the date alone
    EXPECT_EQ(CreationTimeText(86399), "01/01/70 23:59:59");
    // The same second again, in other formats each time: the text of the last second kept for
    // the next job must not stand in for another format's.
    EXPECT_EQ(CreationTimeText(86399, "%Y.%m.%d.", "%H:%M:%S"), "1970.01.01. 23:59:59");
    EXPECT_EQ(CreationTimeText(86399, "%Y.%m.%d.", "%H.%M"), "1970.01.01. 23.59");
    EXPECT_EQ(CreationTimeText(86399), "01/01/70 23:59:59");
    EXPECT_EQ(CreationTimeText(86400), "01/02/70");
    EXPECT_EQ(CreationTimeText(-1), "12/31/69 23:59:59");
    EXPECT_EQ(CreationTimeText(std::numeric_limits<std::int32_t>::max()), "01/19/38 03:14:07");
    EXPECT_EQ(CreationTimeText(std::numeric_limits<std::int32_t>::min()), "12/13/01 20:45:52");
    // Another locale's formats, e.g. a Hungarian short date.
    EXPECT_EQ(CreationTimeText(1765169856, "%Y.%m.%d.", "%H:%M:%S"), "2025.12.08. 04:57:36");
    EXPECT_EQ(CreationTimeText(1765152000, "%Y.%m.%d.", "%H:%M:%S"), "2025.12.08.");
}

TEST_F(RefreshText, JobRowColumns)
{
    JobRecord job;
    job.jobId = 42;
    job.user = "bob";
    job.jobName = "Sz\xC3\xA1mla";
    job.size = 196;
    job.state = 6;
    job.stateReasons = "printer-stopped";
    job.creationTime = 86399;
    EXPECT_EQ(JobRowTexts(job, "laser"), (JobRow{"42", "laser", "bob", "Sz\xC3\xA1mla", "196 K",
                                                 "processing-stopped", "printer-stopped", "01/01/70 23:59:59"}));

    // A state without a text of its own shows the reasons twice; missing numbers show -1.
    JobRecord bare;
    bare.jobId = 7;
    bare.state = 10;
    bare.stateReasons = "job-incoming";
    EXPECT_EQ(JobRowTexts(bare, ""), (JobRow{"7", "", "", "", "-1 K", "job-incoming", "job-incoming",
                                             "12/31/69 23:59:59"}));
}

// The packed table gives back every job as it was added, across its blocks: texts of any length
// (empty ones, one longer than a whole block) and bytes of every value.
TEST_F(RefreshText, JobTableKeepsEveryJobAcrossItsBlocks)
{
    std::vector<JobRecord> added;
    for (int i = 0; i < 3000; ++i) {
        JobRecord job;
        job.jobId = i;
        job.size = -i;
        job.state = i % 11;
        job.creationTime = i * 7919;
        job.user = std::string(static_cast<std::size_t>(i % 5), static_cast<char>(i));
        job.jobName = i == 1500 ? std::string(TextBlocks::kBlockSize + 3, 'n') : "job " + std::to_string(i);
        job.stateReasons = i % 3 == 0 ? "" : "job-hold-until-specified";
        added.push_back(job);
    }
    JobTable table;
    for (const JobRecord& job : added)
        table.Add(job);
    std::size_t next = 0;
    table.Drain([&](const JobFields& job) {
        ASSERT_LT(next, added.size());
        const JobFields& want = FieldsOf(added[next++]);
        EXPECT_EQ(std::tie(job.jobId, job.size, job.state, job.creationTime, job.user, job.jobName,
                           job.stateReasons),
                  std::tie(want.jobId, want.size, want.state, want.creationTime, want.user, want.jobName,
                           want.stateReasons));
    });
    EXPECT_EQ(next, added.size());
    table.Drain([](const JobFields&) { ADD_FAILURE() << "a drained table is empty"; });
}

TEST_F(RefreshText, JobWalkRowsAndDroppedJobs)
{
    const std::string body = IppBody()
                                 .Header()
                                 .Tag(0x01)
                                 .Attr(0x47, "attributes-charset", "utf-8")
                                 .Tag(0x02)  // a job without "job-id": dropped at the next group
                                 .Attr(0x42, "job-name", "ghost")
                                 .Tag(0x02)
                                 .Int(0x21, "job-id", 5)
                                 .Attr(0x42, "JOB-NAME", "Report")
                                 .Attr(0x42, "job-originating-user-name", "anna")
                                 .Int(0x23, "job-state", 4)
                                 .Attr(0x44, "job-state-reasons", "job-hold-until-specified")
                                 .Attr(0x44, "", "job-incoming")
                                 .Int(0x21, "job-k-octets", 3)
                                 .Int(0x21, "time-at-creation", 0)
                                 .Tag(0x04)  // a stray printer group closes the job like any group
                                 .Int(0x21, "job-id", 6)
                                 .Int(0x21, "job-id", 8)  // a later value overwrites
                                 .Tag(0x03);
    EXPECT_EQ(WalkJobList(body, "office"),
              (std::vector<JobRow>{
                  {"5", "office", "anna", "Report", "3 K", "pending-held", "job-hold-until-specified", "01/01/70"},
                  {"8", "office", "", "", "-1 K", "", "", "12/31/69 23:59:59"},
              }));

    // Without its end tag the last job is never closed, so it is not listed.
    const std::string unended = body.substr(0, body.size() - 1);
    EXPECT_EQ(WalkJobList(unended, "office").size(), 1u);
    EXPECT_TRUE(WalkJobList(body.substr(0, 10), "office").empty());
}

TEST_F(RefreshText, CapturedHeldJobs)
{
    const std::string reasons = "job-hold-until-specified";
    const std::string time = "12/08/26 04:57:36";
    EXPECT_EQ(WalkJobList(CapturedIpp("get-jobs-held"), "office"),
              (std::vector<JobRow>{
                  {"1", "office", "alice", "report.pdf", "1 K", "pending-held", reasons, time},
                  {"2", "office", "alice", "report.pdf", "1 K", "pending-held", reasons, time},
                  {"3", "office", "bob", "Sz\xC3\xA1mla 2026", "5 K", "pending-held", reasons, time},
                  {"4", "office", "carol", "poster.ps", "196 K", "pending-held", reasons, time},
              }));
    EXPECT_TRUE(WalkJobList(CapturedIpp("get-jobs-empty"), "idle").empty());
    EXPECT_TRUE(WalkJobList(CapturedIpp("get-jobs-not-found"), "nosuch").empty());
}

TEST_F(RefreshText, CapturedPrinterLines)
{
    const PrinterStatus idle = WalkPrinterStatus(CapturedIpp("get-printer-idle"), "idle");
    EXPECT_EQ(idle.line, "idle - idle, accepting jobs");
    EXPECT_EQ(idle.lamp, Lamp::Green);

    const PrinterStatus paused = WalkPrinterStatus(CapturedIpp("get-printer-paused"), "paused");
    EXPECT_EQ(paused.line, "paused - stopped, accepting jobs (Pap\xC3\xADrelakad\xC3\xA1s a 2. t\xC3\xA1lc\xC3\xA1"
                           "ban)");
    EXPECT_EQ(paused.lamp, Lamp::Yellow);

    // An IPP error says nothing about the printer.
    const PrinterStatus error = WalkPrinterStatus(CapturedIpp("get-jobs-not-found"), "nosuch");
    EXPECT_EQ(error.line, "nosuch - unknown");
    EXPECT_EQ(error.lamp, Lamp::Yellow);
}

TEST_F(RefreshText, PrinterLampFollowsStateAndAccepting)
{
    const auto status = [](std::optional<int> state, std::optional<int> acceptingByte) {
        IppBody body;
        body.Header().Tag(0x01).Tag(0x04);
        if (state)
            body.Int(0x23, "printer-state", *state);
        if (acceptingByte)
            body.Attr(0x22, "printer-is-accepting-jobs", std::string(1, static_cast<char>(*acceptingByte)));
        body.Tag(0x03);
        return WalkPrinterStatus(body.str(), "p");
    };
    EXPECT_EQ(status(3, 1).lamp, Lamp::Green);
    EXPECT_EQ(status(4, 1).line, "p - processing, accepting jobs");
    EXPECT_EQ(status(6, 1).line, "p - unknown, accepting jobs");
    EXPECT_EQ(status(6, 1).lamp, Lamp::Yellow);
    EXPECT_EQ(status(std::nullopt, 1).line, "p - unknown, accepting jobs");
    EXPECT_EQ(status(std::nullopt, 1).lamp, Lamp::Yellow);
    EXPECT_EQ(status(3, 0).line, "p - idle, rejecting jobs");
    EXPECT_EQ(status(3, 0).lamp, Lamp::Yellow);
    EXPECT_EQ(status(5, 1).lamp, Lamp::Yellow);
    EXPECT_EQ(status(3, std::nullopt).line, "p - idle");
    EXPECT_EQ(status(3, std::nullopt).lamp, Lamp::Yellow);
    EXPECT_EQ(WalkPrinterStatus("", "p").line, "p - unknown");
}

// Servers send some keywords without a suffix: only the ones known to be harmless are no problem.
// Marker lists of unequal length leave the missing values unknown, never empty.
TEST_F(RefreshText, ReasonLevelsAndShortMarkerLists)
{
    EXPECT_EQ(LevelOfReason("offline"), ReasonLevel::Error);
    EXPECT_EQ(LevelOfReason("spool-area-full"), ReasonLevel::Error);
    EXPECT_EQ(LevelOfReason("moving-to-paused"), ReasonLevel::None);
    EXPECT_EQ(LevelOfReason("cups-waiting-for-job-completed"), ReasonLevel::None);
    EXPECT_EQ(LevelOfReason("toner-low-report"), ReasonLevel::Report);
    EXPECT_EQ(LevelOfReason("media-low-warning"), ReasonLevel::Warning);  // never an error's yellow lamp
    EXPECT_EQ(ReasonText("toner-low-warning"), "kevés a toner");
    EXPECT_EQ(ReasonText("com.example-fuser-error"), "com.example-fuser-error");

    IppBody body;
    body.Header().Tag(0x01).Tag(0x04);
    body.Attr(0x44, "printer-state-reasons", "none");
    body.Attr(0x42, "marker-names", "Black").Attr(0x42, "", "Cyan");
    body.Int(0x21, "marker-levels", 3).Int(0x21, "marker-low-levels", 5);
    body.Tag(0x03);
    PrinterSaysReader reader;
    WalkResponse(body.str(), kIppPrinterWalkDelimiterLimit, [&](const IppAttribute& a) { reader.Apply(a); }, {});
    const PrinterSays says = reader.Result();
    EXPECT_TRUE(says.reasons.empty());
    ASSERT_EQ(says.supplies.size(), 2u);
    EXPECT_EQ(SupplyText(says.supplies[0]), "Black: 3% (kevés)");
    EXPECT_EQ(SupplyText(says.supplies[1]), "Cyan: ismeretlen");
    EXPECT_EQ(AlertTexts(AlertsOf(says), ReasonLevel::Warning), "Black: 3% (kevés)");
}

}  // namespace
}  // namespace quenlo
