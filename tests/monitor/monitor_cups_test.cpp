// The refresh and the operations end to end against a private CUPS server: what the monitor shows,
// and what each command changes on the server, checked by asking the server independently.
#include "monitor/Monitor.h"

#include "MonitorTestKit.h"
#include "ipp/Ipp.h"
#include "monitor/RefreshText.h"
#include "support/CupsLab.h"
#include "support/IppEvePrinter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>

namespace quenlo {
namespace {

using test::CupsLab;
using test::ServerJobStates;

std::string ServerStateMessage(CupsLab& lab, const std::string& printer)
{
    const std::string answer = test::PostIpp(lab.Port(), CupsLab::PrinterPath(printer),
                                             BuildGetPrinterAttributesRequest(lab.PrinterUrl(printer)));
    std::string message;
    WalkResponse(
        answer, kIppPrinterWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (a.name == "printer-state-message")
                message = std::string(a.text);
        },
        nullptr);
    return message;
}

class MonitorCups {
public:
    MonitorCups(CupsLab& lab, const std::string& printer, const std::string& user = "",
                const std::string& pass = "")
        : MonitorCups(lab.HostPort(), CupsLab::PrinterPath(printer), user, pass)
    {
    }
    MonitorCups(const std::string& remotehost, const std::string& url, const std::string& user,
                const std::string& pass)
    {
        TAList entry;
        entry.name = "Office";
        entry.remotehost = remotehost;
        entry.url = url;
        entry.user = user;
        entry.pass = pass;
        entry.comment = "by the stairs";
        entry.localport = -1;
        printers.push_back(entry);
        ApplyHttpCli1Design(http);
        monitor.FillView();
        monitor.ComboBoxPrinterlistChange();
    }

    // Selects the row of job `id`; false when it is not listed.
    bool Select(int id)
    {
        view.selectedRow = -1;
        for (std::size_t i = 0; i < view.rows.size(); ++i) {
            if (view.rows[i][0] == std::to_string(id))
                view.selectedRow = static_cast<int>(i);
        }
        return view.selectedRow >= 0;
    }

    const JobRow* Row(int id) const
    {
        for (const JobRow& row : view.rows) {
            if (row[0] == std::to_string(id))
                return &row;
        }
        return nullptr;
    }

    PrinterList printers;
    test::RecordingView view;
    THttpCli http;
    TMonitor monitor{view, http, printers};
};

TEST(MonitorCups, ListsHeldJobsWithTheirDetails)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("monitor-list");
    const std::time_t before = std::time(nullptr);
    lab.HoldJobs(printer, 2, {.user = "anna", .size = 3000, .title = "Quarterly report"});
    const std::time_t after = std::time(nullptr);

    MonitorCups m(lab, printer);
    EXPECT_EQ(m.monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_EQ(m.view.status, "Office - kapcsolódva, IPP rendben (200)");
    EXPECT_EQ(m.view.statusLamp, Lamp::Green);
    EXPECT_EQ(m.view.printerStatus.rfind("Office - idle, accepting jobs", 0), 0u) << m.view.printerStatus;
    EXPECT_EQ(m.view.printerLamp, Lamp::Green);
    EXPECT_EQ(m.view.comment, "Megjegyzés: by the stairs");

    const std::map<int, int> onServer = ServerJobStates(lab, printer);
    ASSERT_EQ(m.view.rows.size(), 2u);
    ASSERT_EQ(onServer.size(), 2u);
    for (const auto& [id, state] : onServer) {
        const JobRow* row = m.Row(id);
        ASSERT_NE(row, nullptr) << id;
        EXPECT_EQ((*row)[1], "Office");
        EXPECT_EQ((*row)[2], "anna");
        EXPECT_EQ((*row)[3], "Quarterly report");
        EXPECT_EQ((*row)[4], "3 K");
        EXPECT_EQ((*row)[5], "pending-held");
        EXPECT_EQ((*row)[6], "job-hold-until-specified");
        bool timeMatches = false;
        for (std::time_t t = before - 1; t <= after + 1; ++t)
            timeMatches = timeMatches || (*row)[7] == CreationTimeText(static_cast<std::int32_t>(t));
        EXPECT_TRUE(timeMatches) << (*row)[7];
    }
}

// The watch's refresh asks for less and shows the same: every text, lamp and row, for a queue with
// held jobs of a paused printer (with the server's state message) and for a queue the server does
// not have.
TEST(MonitorCups, FollowRefreshShowsWhatTheFullRefreshShows)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("monitor-follow");
    lab.HoldJobs(printer, 3, {.user = "anna", .size = 2000, .title = "Minutes"});
    lab.Pause(printer, "Papír elakadt");
    for (const std::string& queue : {printer, std::string("no-such-queue")}) {
        MonitorCups m(lab, queue);
        const test::RecordingView full = m.view;
        if (queue == printer) {
            EXPECT_EQ(full.printerStatus, "Office - stopped, accepting jobs (Papír elakadt)");
            EXPECT_EQ(full.printerLamp, Lamp::Yellow);
        }
        const RefreshEnd fullEnd = m.monitor.LastRefreshEnd();
        m.view.rows.clear();
        m.monitor.FollowRefresh();
        EXPECT_EQ(m.monitor.LastRefreshEnd(), fullEnd) << queue;
        EXPECT_EQ(m.view.status, full.status);
        EXPECT_EQ(m.view.statusLamp, full.statusLamp);
        EXPECT_EQ(m.view.printerStatus, full.printerStatus);
        EXPECT_EQ(m.view.printerLamp, full.printerLamp);
        EXPECT_EQ(m.view.rows, full.rows);
        EXPECT_EQ(m.view.selectorEnabled, full.selectorEnabled);
        EXPECT_EQ(m.view.refreshEnabled, full.refreshEnabled);
    }
}

TEST(MonitorCups, ReleaseHoldAndCancelChangeTheJobsOnTheServer)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("monitor-jobs");
    lab.HoldJobs(printer, 2, {.user = "anna"});
    // Stopped, so a released job waits as pending instead of printing at once.
    lab.Pause(printer, "held for the test");
    MonitorCups m(lab, printer);
    ASSERT_EQ(m.view.rows.size(), 2u);
    const int first = std::stoi(m.view.rows[0][0]);
    const int second = std::stoi(m.view.rows[1][0]);

    ASSERT_TRUE(m.Select(first));
    m.monitor.FolytatClick();
    EXPECT_TRUE(m.view.messages.empty());
    EXPECT_EQ(ServerJobStates(lab, printer)[first], 3);
    ASSERT_NE(m.Row(first), nullptr);
    EXPECT_EQ((*m.Row(first))[5], "pending");

    // Released once more, it is not held any more: the server refuses, and the box says why.
    ASSERT_TRUE(m.Select(first));
    m.monitor.FolytatClick();
    ASSERT_EQ(m.view.messages.size(), 1u);
    const std::string box = m.view.messages[0].text;
    EXPECT_EQ(box.rfind("A kérést a szerver elutasította!\rHibakód: 0x0404\r", 0), 0u) << box;
    EXPECT_NE(box.find("\rA művelet most nem lehetséges (például csak visszatartott feladat folytatható)."),
              std::string::npos)
        << box;
    EXPECT_GT(std::count(box.begin(), box.end(), '\r'), 2) << "the server's status-message: " << box;
    m.view.messages.clear();

    ASSERT_TRUE(m.Select(first));
    m.monitor.SzunetClick();
    EXPECT_TRUE(m.view.messages.empty());
    EXPECT_EQ(ServerJobStates(lab, printer)[first], 4);
    EXPECT_EQ((*m.Row(first))[5], "pending-held");

    ASSERT_TRUE(m.Select(second));
    m.monitor.MegszakitClick();
    EXPECT_TRUE(m.view.messages.empty());
    const std::map<int, int> left = ServerJobStates(lab, printer);
    EXPECT_EQ(left.count(second), 0u);
    EXPECT_EQ(left.count(first), 1u);
    EXPECT_EQ(m.Row(second), nullptr);
    EXPECT_EQ(m.view.rows.size(), 1u);
}

TEST(MonitorCups, SeveralSelectedJobsOneRequestEachAndOneBoxForTheRefusals)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("monitor-several");
    const std::string next = lab.AddUniquePrinter("monitor-several-next");
    lab.HoldJobs(printer, 4, {.user = "anna"});
    MonitorCups m(lab, printer);
    ASSERT_EQ(m.view.rows.size(), 4u);
    std::vector<std::string> ids;
    for (const JobRow& row : m.view.rows)
        ids.push_back(row[0]);
    // The second goes before the command: the list the user chose from is stale.
    test::PostIpp(lab.Port(), CupsLab::PrinterPath(printer),
                  BuildOperationRequest(kIppCancelJob, lab.PrinterUrl(printer), "root", std::stoi(ids[1])));
    const int disables = m.view.disables;
    m.view.selectedCaptions = {ids[0], ids[1], "x"};
    m.monitor.JobCommandOnSelected(kIppCancelJob);
    ASSERT_EQ(m.view.messages.size(), 1u);
    const std::string box = m.view.messages[0].text;
    EXPECT_EQ(box.rfind("3 kijelölt feladatból 2 kérése nem sikerült:\r" + ids[1] +
                            ": A kérést a szerver elutasította! Hibakód: 0x04", 0),
              0u)
        << box;
    EXPECT_NE(box.find("\rx: A job IDje érvénytelen! Kérés megszakítva!"), std::string::npos) << box;
    EXPECT_EQ(m.view.disables, disables + 1) << "one refresh after all the jobs";
    std::map<int, int> left = ServerJobStates(lab, printer);
    EXPECT_EQ(left.count(std::stoi(ids[0])), 0u);
    EXPECT_EQ(left.size(), 2u);
    EXPECT_EQ(m.view.rows.size(), 2u);

    m.view.messages.clear();
    m.view.selectedCaptions = {ids[2], ids[3]};
    m.monitor.MoveSelectedJobs(next);
    EXPECT_TRUE(m.view.messages.empty()) << m.view.messages[0].text;
    EXPECT_TRUE(ServerJobStates(lab, printer).empty());
    EXPECT_EQ(ServerJobStates(lab, next).size(), 2u);
}

TEST(MonitorCups, PauseResumeAndPurge)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("monitor-printer");
    lab.HoldJobs(printer, 3);
    MonitorCups m(lab, printer);
    ASSERT_EQ(m.view.rows.size(), 3u);

    m.monitor.NyomtatofelfuggeszteseClick();
    EXPECT_TRUE(m.view.messages.empty());
    const std::string message = ServerStateMessage(lab, printer);
    std::string expected = "Office - stopped, accepting jobs";
    if (!message.empty())
        expected += " (" + message + ")";
    EXPECT_EQ(m.view.printerStatus, expected);
    EXPECT_EQ(m.view.printerLamp, Lamp::Yellow);

    m.monitor.NyomtatofolytatasaClick();
    EXPECT_TRUE(m.view.messages.empty());
    EXPECT_EQ(m.view.printerStatus.rfind("Office - idle, accepting jobs", 0), 0u) << m.view.printerStatus;
    EXPECT_EQ(m.view.printerLamp, Lamp::Green);

    m.monitor.OsszesfeladattorleseClick();
    EXPECT_TRUE(m.view.messages.empty());
    EXPECT_TRUE(m.view.rows.empty());
    EXPECT_TRUE(ServerJobStates(lab, printer).empty());
    EXPECT_EQ(m.monitor.LastRefreshEnd(), RefreshEnd::Complete);
}

TEST(MonitorCups, ServerThatRequiresAuthenticationRefusesEveryOperation)
{
    QUENLO_REQUIRE_CUPS_LAB_AUTH(lab);
    const std::string printer = lab.AddUniquePrinter("monitor-auth");
    lab.HoldJobs(printer, 1);
    const auto refused = [&](MonitorCups& m, int id, void (TMonitor::*click)()) {
        EXPECT_TRUE(m.Select(id));
        m.view.messages.clear();
        (m.monitor.*click)();
        return m.view.messages.size() == 1 && m.view.messages[0].icon == MessageIcon::Error
                   ? m.view.messages[0].text
                   : std::string("(no single error box)");
    };

    // The queries are open to anyone; every command of an anonymous client is refused with HTTP 401.
    MonitorCups m(lab, printer);
    ASSERT_EQ(m.monitor.LastRefreshEnd(), RefreshEnd::Complete);
    ASSERT_EQ(m.view.rows.size(), 1u);
    const int id = std::stoi(m.view.rows[0][0]);
    for (auto click : {&TMonitor::MegszakitClick, &TMonitor::SzunetClick, &TMonitor::FolytatClick,
                       &TMonitor::NyomtatofelfuggeszteseClick, &TMonitor::NyomtatofolytatasaClick,
                       &TMonitor::OsszesfeladattorleseClick})
        EXPECT_EQ(refused(m, id, click), "Kérés sikertelen (401)\rA szerver felhasználónevet és jelszót kér, de "
                                         "ennél a nyomtatónál nincs megadva felhasználó.");
    // With a user whose password the server does not take.
    MonitorCups wrong(lab, printer, "nobody-here", "wrong");
    ASSERT_EQ(wrong.monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_EQ(refused(wrong, id, &TMonitor::NyomtatofelfuggeszteseClick),
              "Kérés sikertelen (401)\rA felhasználónév vagy a jelszó hibás. A jelszót a quenlo-cli login paranccsal "
              "lehet megadni.");
    EXPECT_EQ(ServerJobStates(lab, printer).at(id), 4);  // still held, nothing changed
}

// Submits a small document to the printer with ipptool; false when it was not accepted.
bool SubmitWithIpptool(const test::IppEvePrinter& eve, const std::string& title)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quenlo-ipptool-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "print.test") << "{\n NAME \"Print-Job\"\n OPERATION Print-Job\n"
                                         " GROUP operation-attributes-tag\n"
                                         " ATTR charset attributes-charset utf-8\n"
                                         " ATTR naturalLanguage attributes-natural-language en\n"
                                         " ATTR uri printer-uri $uri\n"
                                         " ATTR name requesting-user-name anna\n"
                                         " ATTR name job-name $title\n"
                                         " ATTR mimeMediaType document-format image/pwg-raster\n"
                                         " FILE $filename\n STATUS successful-ok\n}\n";
    std::ofstream(dir / "job.ras") << "RaS2" << std::string(1796, '\0');
    const std::string command = "timeout 20 ipptool -q -d title=" + title + " -f " + (dir / "job.ras").string() +
                                " " + eve.Url() + " " + (dir / "print.test").string();
    const bool accepted = std::system(command.c_str()) == 0;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return accepted;
}

// A printer of its own, without CUPS in between: its page is at "/", its jobs at its IPP resource.
TEST(MonitorIppEvePrinter, DirectEntryRefreshesCancelsAndRefusesWhatThePrinterLacks)
{
    QUENLO_REQUIRE_IPPEVEPRINTER(eve);
    PrinterList printers(2);
    printers[0].name = "Eve";
    printers[0].remotehost = "127.0.0.1:" + std::to_string(eve.Port());
    printers[0].url = "/ipp/print";
    printers[0].direct = true;
    printers[1] = printers[0];
    printers[1].name = "Root";
    printers[1].url = "/";
    printers[1].direct = false;
    test::RecordingView view;
    THttpCli http;
    ApplyHttpCli1Design(http);
    TMonitor monitor{view, http, printers};
    monitor.FillView();
    // It prints one job at a time and refuses others meanwhile: one job that stays is listed.
    ASSERT_TRUE(eve.SlowJobs(120)) << eve.Log();
    ASSERT_TRUE(SubmitWithIpptool(eve, "first")) << eve.Log();

    // The printer keeps each connection open for a while after its answer: the refresh must not
    // wait for that (it took as long as the server's idle limit when the probe's reply came chunked).
    const auto start = std::chrono::steady_clock::now();
    monitor.ComboBoxPrinterlistChange();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    ASSERT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete) << view.status << "\n" << eve.Log();
    EXPECT_EQ(view.printerStatus.rfind("Eve - ", 0), 0u) << view.printerStatus;
    EXPECT_NE(view.printerStatus.find("accepting jobs"), std::string::npos) << view.printerStatus;
    ASSERT_EQ(view.rows.size(), 1u);
    EXPECT_EQ(view.rows[0][3], "first");

    // Cancel-Job is the one of the six it offers; the others are refused, with no web fallback
    // (it has no administration pages: a fallback would show a second warning).
    for (void (TMonitor::*click)() : {&TMonitor::SzunetClick, &TMonitor::FolytatClick,
                                      &TMonitor::NyomtatofelfuggeszteseClick,
                                      &TMonitor::NyomtatofolytatasaClick, &TMonitor::OsszesfeladattorleseClick}) {
        view.messages.clear();
        view.selectedRow = 0;
        (monitor.*click)();
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text.rfind("A kérést a szerver elutasította!\rHibakód: 0x", 0), 0u)
            << view.messages[0].text;
    }
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    view.messages.clear();
    view.selectedRow = 0;
    monitor.MegszakitClick();
    EXPECT_TRUE(view.messages.empty()) << view.messages[0].text;
    // The printer stops the job's command before the job leaves the list.
    EXPECT_TRUE(view.rows.empty() || view.rows[0][6] == "processing-to-stop-point") << view.rows[0][6];

    // Without the key, the printer's root as a queue: an answer, quickly, whatever it says.
    view.text = "Root";
    const auto rootStart = std::chrono::steady_clock::now();
    monitor.ComboBoxPrinterlistChange();
    EXPECT_LT(std::chrono::steady_clock::now() - rootStart, std::chrono::seconds(15));
    EXPECT_NE(monitor.LastRefreshEnd(), RefreshEnd::ProbeFailed) << view.status;
}

// A typo in the url: the server answers the probe, but has no such queue.
TEST(MonitorCups, QueueTheServerDoesNotHave)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    MonitorCups m(lab, "no-such-queue");
    EXPECT_EQ(m.monitor.LastRefreshEnd(), RefreshEnd::NoPrinters);
    EXPECT_EQ(m.view.status, "Office - a szerveren nincs ilyen nyomtató");
    EXPECT_EQ(m.view.statusLamp, Lamp::Yellow);
    EXPECT_EQ(m.view.printerStatus, "Office - unknown");
    EXPECT_EQ(m.view.printerLamp, Lamp::Red);
    EXPECT_TRUE(m.view.rows.empty());
    EXPECT_TRUE(m.view.selectorEnabled);
    EXPECT_FALSE(m.view.refreshEnabled);
}

// A server of another make that does not know one of the operations.
TEST(MonitorIppEvePrinter, UnsupportedOperationIsExplained)
{
    QUENLO_REQUIRE_IPPEVEPRINTER(eve);
    MonitorCups m("127.0.0.1:" + std::to_string(eve.Port()), "/ipp/print", "", "");
    // It has no page for the probe's GET; the operation goes to the printer all the same.
    ASSERT_NE(m.monitor.CurrentPrinter(), nullptr);
    m.monitor.OsszesfeladattorleseClick();
    ASSERT_EQ(m.view.messages.size(), 1u);
    const std::string box = m.view.messages[0].text;
    EXPECT_EQ(box.rfind("A kérést a szerver elutasította!\rHibakód: 0x0501\r", 0), 0u) << box;
    EXPECT_EQ(box.substr(box.rfind('\r') + 1), "A szerver nem ismeri ezt a műveletet.");

    // Nor does it know the administrator's operations, nor list queues to move a job to.
    const std::string unknown = "A kérést a szerver elutasította!\rHibakód: 0x0501\rOperation not supported.\r"
                                "A szerver nem ismeri ezt a műveletet.";
    const std::vector<std::pair<std::function<void()>, std::string>> operations{
        {[&] { m.monitor.RejectJobs("javítás"); }, unknown},
        {[&] { m.monitor.AcceptJobs(); }, unknown},
        {[&] { m.monitor.RestartJob(1); }, unknown},
        {[&] { m.monitor.MoveJob(1, "other"); },
         "A szerver nem adta meg a nyomtatási sorait, így az áthelyezés nem lehetséges!\rHibakód: 0x0400\r"
         "Missing required attributes."},
    };
    for (const auto& [operation, text] : operations) {
        m.view.messages.clear();
        operation();
        ASSERT_EQ(m.view.messages.size(), 1u) << text;
        EXPECT_EQ(m.view.messages[0].text, text);
    }
}

}  // namespace
}  // namespace quenlo
