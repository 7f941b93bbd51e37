// The refresh and the operations against a scripted server on 127.0.0.1: every end of the refresh,
// the message boxes of refused and failed operations, the web administration fallback, and a
// request started from inside another one's wait.
#include "monitor/Monitor.h"

#include "monitor/MonitorTexts.h"
#include "net/HttpUrl.h"

#include "MonitorTestKit.h"
#include "platform/EventLoop.h"
#include "support/ScriptedPeer.h"
#include "support/RunUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace quenlo {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::AnswerRefresh;
using test::ScriptedPeer;
using test::HttpOk;
using test::IppAnswer;
using test::RequestLine;

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest()
    {
        ApplyHttpCli1Design(http);
        http.SetNoProgressTimeout(5s);
        monitor.OnRefreshDone = [this](TMonitor&, RefreshEnd end) { ends.push_back({end, view.status}); };
    }

    TAList& AddPrinter(const std::string& name, const std::string& user = "", const std::string& pass = "")
    {
        TAList entry;
        entry.name = name;
        entry.remotehost = "127.0.0.1:" + std::to_string(server.Port());
        entry.url = "/printers/laser";
        entry.user = user;
        entry.pass = pass;
        entry.comment = "second floor";
        entry.localport = -1;
        printers.push_back(entry);
        return printers.back();
    }

    // Selects `name` and runs a refresh that the server answers completely.
    void RefreshCompletely(const std::string& name, const std::vector<int>& jobIds = {7})
    {
        AnswerRefresh(server, jobIds);
        view.text = name;
        monitor.ComboBoxPrinterlistChange();
        ASSERT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    }

    // A refresh that ended early, as the window shows it: the printer line is the name + " - unknown"
    // with a red lamp.
    void ExpectFailedEnd(RefreshEnd end, const std::string& status, Lamp statusLamp)
    {
        EXPECT_EQ(monitor.LastRefreshEnd(), end);
        EXPECT_EQ(view.status, status);
        EXPECT_EQ(view.statusLamp, statusLamp);
        EXPECT_EQ(view.printerStatus, view.text + " - unknown");
        EXPECT_EQ(view.printerLamp, Lamp::Red);
    }

    struct End {
        RefreshEnd end;
        std::string status;
    };

    ScriptedPeer server;
    PrinterList printers;
    test::RecordingView view;
    THttpCli http;
    TMonitor monitor{view, http, printers};
    std::vector<End> ends;
};

// A message target whose timer runs `action` once, from inside whatever request is waiting.
class TimerAction {
public:
    TimerAction(std::chrono::milliseconds after, std::function<void()> action) : action_(std::move(action))
    {
        hwnd_ = platform::CreateMessageTarget([this](platform::HWND h, unsigned msg, platform::WPARAM id, platform::LPARAM) {
            if (msg == platform::WM_TIMER) {
                platform::KillTimer(h, static_cast<unsigned>(id));
                ran = true;
                action_();
            }
            return platform::LRESULT{0};
        });
        platform::SetTimer(hwnd_, 1, static_cast<unsigned>(after.count()));
    }
    ~TimerAction() { platform::DestroyMessageTarget(hwnd_); }
    bool ran = false;

private:
    std::function<void()> action_;
    platform::HWND hwnd_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The ends of the refresh

TEST_F(MonitorTest, CompleteRefreshFillsLabelsLampsAndRows)
{
    AddPrinter("Laser");
    AnswerRefresh(server, {7, 9}, test::PrinterAnswer(3, true, "ready to print"));
    view.text = "Laser";
    monitor.ComboBoxPrinterlistChange();

    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_EQ(view.status, "Laser - kapcsolódva, IPP rendben (200)");
    EXPECT_EQ(view.statusLamp, Lamp::Green);
    EXPECT_EQ(view.printerStatus, "Laser - idle, accepting jobs (ready to print)");
    EXPECT_EQ(view.printerLamp, Lamp::Green);
    EXPECT_EQ(view.comment, "Megjegyzés: second floor");
    ASSERT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(view.rows[1][0], "9");
    EXPECT_EQ(view.rows[1][1], "Laser");
    EXPECT_EQ(view.rows[1][2], "anna");
    EXPECT_EQ(view.rows[1][4], "3 K");
    EXPECT_EQ(view.rows[1][5], "pending-held");
    EXPECT_TRUE(view.selectorEnabled);
    EXPECT_TRUE(view.refreshEnabled);
    EXPECT_EQ(view.disables, 1);
    EXPECT_EQ(monitor.CurrentPrinter(), &printers[0]);

    // The probe is a GET of the printer URL; both IPP requests are POSTs to the same URL.
    ASSERT_EQ(server.Connections(), 3u);
    EXPECT_EQ(RequestLine(server.Received(0)), "GET /printers/laser HTTP/1.0");
    EXPECT_EQ(RequestLine(server.Received(1)), "POST /printers/laser HTTP/1.0");
    EXPECT_EQ(RequestLine(server.Received(2)), "POST /printers/laser HTTP/1.0");
    EXPECT_NE(server.Received(1).find("Content-Type: application/ipp\r\n"), std::string::npos);
    EXPECT_NE(server.Received(1).find("User-Agent: Internet Print Provider\r\n"), std::string::npos);
    // Get-Jobs, then Get-Printer-Attributes.
    EXPECT_NE(server.Received(1).find(std::string("\r\n\r\n\x01\x00\x00\x0A", 8)), std::string::npos);
    EXPECT_NE(server.Received(2).find(std::string("\r\n\r\n\x01\x00\x00\x0B", 8)), std::string::npos);
}

TEST_F(MonitorTest, NoEntryKeepsCommentAndCurrentPrinter)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");

    view.text = "Gone";
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::NoEntry);
    EXPECT_EQ(view.status, "Gone - memóriahiba, nem találom a nyomtató adatait");
    EXPECT_EQ(view.statusLamp, Lamp::Red);
    EXPECT_EQ(view.printerStatus, "Gone - unknown");
    EXPECT_EQ(view.printerLamp, Lamp::Red);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_EQ(view.comment, "Megjegyzés: second floor");
    EXPECT_EQ(monitor.CurrentPrinter(), &printers[0]);
    EXPECT_EQ(server.Connections(), 3u);  // nothing sent
}

TEST_F(MonitorTest, FirstEntryOfTwoWithTheSameNameIsUsed)
{
    AddPrinter("Laser");
    AddPrinter("Laser").comment = "the other one";
    RefreshCompletely("Laser");
    EXPECT_EQ(monitor.CurrentPrinter(), &printers[0]);
    EXPECT_EQ(view.comment, "Megjegyzés: second floor");
}

TEST_F(MonitorTest, ProbeFailures)
{
    AddPrinter("Laser");
    view.text = "Laser";

    Answer(server, ScriptedPeer::Response(404, "Not Found", "gone"));
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::ProbeFailed);
    EXPECT_EQ(view.status, "Laser - kapcsolódás sikertelen (404)");
    EXPECT_EQ(view.statusLamp, Lamp::Red);
    EXPECT_EQ(view.printerStatus, "Laser - unknown");
    EXPECT_TRUE(view.selectorEnabled);
    EXPECT_TRUE(view.refreshEnabled);
    EXPECT_EQ(monitor.CurrentPrinter(), &printers[0]);  // the operations still act on it

    // A server that trickles its answer ends at the printers file's whole-request bound.
    server.Connection().ReadRequest().SendInPieces(HttpOk(std::string(1000, 'x')), 1, 200ms);
    std::istringstream file("<global>\nrequesttimeout=1\n<endglobal>\n");
    PrinterList none;
    ProxySettings proxy;
    PrintersFileReader(none, proxy, "").ReadAll(file);
    ApplyProxySettings(http, proxy);
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::ProbeFailed);
    EXPECT_EQ(http.ReplyReason(), "HTTP request took longer than 1 s");

    // A URL that could carry a second request line is never sent.
    const std::size_t connections = server.Connections();
    printers[0].url = "/printers/laser\r\nGET /x HTTP/1.0";
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::ProbeFailed);
    EXPECT_EQ(server.Connections(), connections);
    printers[0].url = "/printers/laser";

    // Nothing listens on the port any more: the client reports 404 for the failed connect.
    printers[0].remotehost = "127.0.0.1:1";
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(view.status, "Laser - kapcsolódás sikertelen (404)");
}

TEST_F(MonitorTest, NoPrintersEndGivesBackOnlyTheSelector)
{
    AddPrinter("Laser");
    view.text = "Laser";
    Answer(server, HttpOk("<HTML><BODY>There are No Printers here</BODY></HTML>", "text/html"));
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::NoPrinters);
    EXPECT_EQ(view.status, "Laser - a szerveren nincs ilyen nyomtató");
    EXPECT_EQ(view.statusLamp, Lamp::Yellow);
    EXPECT_EQ(view.printerLamp, Lamp::Red);
    EXPECT_TRUE(view.selectorEnabled);
    EXPECT_FALSE(view.refreshEnabled);
    EXPECT_EQ(server.Connections(), 1u);

    // The words after a zero byte are not read.
    Answer(server, HttpOk(std::string("page\0no printers", 16), "text/html"));
    Answer(server, HttpOk(test::HeldJobsAnswer({1})));
    Answer(server, HttpOk(test::PrinterAnswer(3, true)));
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_TRUE(view.refreshEnabled);
}

// The probe's page is scanned, not kept: one longer than the client's bound on a reply is still
// read to its end (the words at its very end are seen), while the IPP answers stay bounded.
TEST_F(MonitorTest, ProbePageLongerThanTheReplyBoundIsScannedWhole)
{
    AddPrinter("Laser");
    view.text = "Laser";
    http.SetMaxReplyLength(4096);
    const std::string filler(100000, 'x');
    Answer(server, HttpOk(filler + " no printers", "text/html"));
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::NoPrinters);
    EXPECT_EQ(http.MaxReplyLength(), 4096);

    Answer(server, HttpOk(filler, "text/html"));
    Answer(server, HttpOk(test::HeldJobsAnswer({1})));
    Answer(server, HttpOk(test::PrinterAnswer(3, true) + filler));
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::PrinterFailed);
    EXPECT_EQ(view.rows.size(), 1u);
}

TEST_F(MonitorTest, IppFailuresKeepWhatWasShown)
{
    AddPrinter("Laser");
    view.text = "Laser";

    Answer(server, HttpOk("page", "text/html"));
    Answer(server, ScriptedPeer::Response(500, "Server Error", ""));
    monitor.ComboBoxPrinterlistChange();
    ExpectFailedEnd(RefreshEnd::JobsFailed, "Laser - kapcsolódva, IPP hiba (500)", Lamp::Yellow);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_TRUE(view.selectorEnabled && view.refreshEnabled);

    Answer(server, HttpOk("page", "text/html"));
    Answer(server, HttpOk(test::HeldJobsAnswer({3, 4})));
    Answer(server, ScriptedPeer::Response(503, "Busy", ""));
    monitor.ComboBoxPrinterlistChange();
    ExpectFailedEnd(RefreshEnd::PrinterFailed, "Laser - kapcsolódva, IPP hiba (503)", Lamp::Green);
    EXPECT_EQ(view.rows.size(), 2u);
    EXPECT_TRUE(view.selectorEnabled && view.refreshEnabled);
}

// An answer that came with HTTP 200 counts only when it is a complete IPP answer whose status is
// successful: the missing queue, a refusal and a broken body each end the refresh with their text.
TEST_F(MonitorTest, IppRefusalsAndBrokenAnswersEndTheRefresh)
{
    AddPrinter("Laser");
    view.text = "Laser";
    const auto refresh = [&](const std::string& jobs, const std::string& printer = "") {
        Answer(server, HttpOk("page", "text/html"));
        Answer(server, HttpOk(jobs));
        if (!printer.empty())
            Answer(server, HttpOk(printer));
        monitor.ComboBoxPrinterlistChange();
    };
    const std::string refused = IppAnswer(0x0403).Text(0x41, "status-message", "Not for you.").End().str();

    // A typo in the url: the queue is not on the server.
    refresh(IppAnswer(0x0406).Text(0x41, "status-message", "The printer does not exist.").End().str());
    ExpectFailedEnd(RefreshEnd::NoPrinters, "Laser - a szerveren nincs ilyen nyomtató", Lamp::Yellow);
    EXPECT_TRUE(view.selectorEnabled);
    EXPECT_FALSE(view.refreshEnabled);
    EXPECT_EQ(server.Connections(), 2u);

    // Get-Jobs refused: its jobs are not shown, nor is the printer asked.
    refresh(IppAnswer(0x0403)
                .Text(0x41, "status-message", "Not for you.")
                .Tag(0x02)
                .Integer(0x21, "job-id", 5)
                .End()
                .str());
    const std::string refusedText = "Laser - kapcsolódva, IPP hiba (0x0403) - Not for you.";
    ExpectFailedEnd(RefreshEnd::JobsFailed, refusedText, Lamp::Yellow);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_TRUE(view.selectorEnabled && view.refreshEnabled);
    EXPECT_EQ(server.Connections(), 4u);

    // An HTML page, and an answer cut short before its end tag, are no IPP answers.
    refresh("<html><body>Welcome</body></html>");
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::JobsFailed);
    EXPECT_EQ(view.status, "Laser - kapcsolódva, IPP hiba (200) - a válasz nem teljes IPP üzenet");
    const std::string jobs = test::HeldJobsAnswer({3, 4});
    refresh(jobs.substr(0, jobs.size() - 1));
    EXPECT_EQ(view.status, "Laser - kapcsolódva, IPP hiba (200) - a válasz nem teljes IPP üzenet");
    EXPECT_TRUE(view.rows.empty());

    // Get-Printer-Attributes refused after a good Get-Jobs: the rows stay.
    refresh(jobs, refused);
    ExpectFailedEnd(RefreshEnd::PrinterFailed, refusedText, Lamp::Green);
    EXPECT_EQ(view.rows.size(), 2u);
    EXPECT_TRUE(view.selectorEnabled && view.refreshEnabled);
    const std::string printer = test::PrinterAnswer(3, true);
    refresh(jobs, printer.substr(0, printer.size() - 1));
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::PrinterFailed);
    EXPECT_EQ(view.printerLamp, Lamp::Red);

    // Successful codes other than 0x0000 are successes.
    refresh(IppAnswer(0x0001).Tag(0x02).Integer(0x21, "job-id", 5).End().str(), test::PrinterAnswer(3, true));
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_EQ(view.status, "Laser - kapcsolódva, IPP rendben (200)");
    EXPECT_EQ(view.rows.size(), 1u);

    // A job-id of one byte is no number (never job 117440512), and a printer-state that is not
    // known is no green lamp.
    refresh(IppAnswer().Tag(0x02).Text(0x21, "job-id", "\x07").End().str(),
            IppAnswer().Tag(0x04).Integer(0x23, "printer-state", 6).Boolean("printer-is-accepting-jobs", true).End().str());
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_EQ(view.printerStatus, "Laser - unknown, accepting jobs");
    EXPECT_EQ(view.printerLamp, Lamp::Yellow);

    // A faulty HTTP header is named, never taken for a broken IPP answer.
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/ipp\r\n";
    std::string manyLines;
    for (int i = 0; i < 1000; ++i)
        manyLines += "X-Note: a\r\n";
    for (const auto& [fault, text] : {std::pair{std::string("X-Note: a\0b\r\n", 14), "a line holds a NUL byte"},
                                      std::pair{manyLines, "more than 1000 lines"}}) {
        Answer(server, HttpOk("page", "text/html"));
        Answer(server, header + fault + "\r\n" + jobs);
        monitor.ComboBoxPrinterlistChange();
        EXPECT_EQ(view.status, std::string("Laser - kapcsolódva, IPP hiba (HTTP bad header: ") + text + ")");
    }
}

// Lengths of 32,768 bytes and more: the long name, the jobs after it and the printer all arrive.
TEST_F(MonitorTest, LongJobNameKeepsTheRestOfTheAnswer)
{
    AddPrinter("Laser");
    view.text = "Laser";
    const std::string longName(40000, 'n');
    IppAnswer jobs;
    for (int id : {1, 2}) {
        jobs.Tag(0x02).Integer(0x21, "job-id", id).Text(0x42, "job-name", id == 1 ? longName : "short");
        jobs.Integer(0x23, "job-state", 3);
    }
    Answer(server, HttpOk("page", "text/html"));
    Answer(server, HttpOk(jobs.End().str()));
    Answer(server, HttpOk(test::PrinterAnswer(5, true)));
    monitor.ComboBoxPrinterlistChange();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    ASSERT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(view.rows[0][3], longName);
    EXPECT_EQ(view.rows[1][3], "short");
    EXPECT_EQ(view.printerStatus, "Laser - stopped, accepting jobs");
}

// ---------------------------------------------------------------------------------------------
// Job commands

TEST_F(MonitorTest, JobCommandsWithoutOneSelectedJobSendNothing)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    monitor.MegszakitClick();
    monitor.SzunetClick();
    monitor.FolytatClick();
    ASSERT_EQ(view.messages.size(), 3u);
    EXPECT_EQ(view.messages[0].text, "Nincs kijelölve feladat, amit megszakíthatna!");
    EXPECT_EQ(view.messages[1].text, "Nincs kijelölve feladat, amit szüneteltethetne!");
    EXPECT_EQ(view.messages[2].text, "Nincs kijelölve feladat, amit folytathatna!");
    for (const auto& m : view.messages)
        EXPECT_EQ(m.icon, MessageIcon::Warning);
    EXPECT_EQ(server.Connections(), 3u);
}

TEST_F(MonitorTest, BadJobIdShowsTheErrorPosition)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    const struct {
        std::string caption;
        int position;
    } cases[] = {{"12a", 3}, {"", 1}, {"-5", 1}, {"  -5", 3}, {"0x", 3}};
    for (const auto& c : cases) {
        view.rows[0][0] = c.caption;
        view.selectedRow = 0;
        view.messages.clear();
        monitor.MegszakitClick();
        ASSERT_EQ(view.messages.size(), 1u) << c.caption;
        EXPECT_EQ(view.messages[0].text, "A job IDje érvénytelen!\rKérés megszakítva!\r(Hibapozíció: " +
                                             std::to_string(c.position) + ")")
            << c.caption;
        EXPECT_EQ(view.messages[0].icon, MessageIcon::Error);
    }
    EXPECT_EQ(server.Connections(), 3u);
}

TEST(JobIdOfCaption, FollowsTheNumberRulesOfThePrintersFile)
{
    const struct {
        const char* caption;
        std::int32_t value;
        int errorPos;
    } cases[] = {
        {"42", 42, 0},          {"  42", 42, 0},       {"+42", 42, 0},     {"$2A", 42, 0},
        {"x2a", 42, 0},         {"0X2A", 42, 0},       {"-7", -7, 0},      {"2147483647", 2147483647, 0},
        {"$FFFFFFFF", -1, 0},   {"", 0, 1},            {"  ", 0, 3},       {"4 2", 4, 2},
        {"-$1", 0, 2},          {"2147483648", 214748364, 10},             {"$1FFFFFFFF", -1, 10},
    };
    for (const auto& c : cases) {
        int errorPos = -1;
        const std::int32_t value = JobIdOfCaption(c.caption, errorPos);
        EXPECT_EQ(errorPos, c.errorPos) << '"' << c.caption << '"';
        if (c.errorPos == 0) {
            EXPECT_EQ(value, c.value) << '"' << c.caption << '"';
        }
    }
}

TEST_F(MonitorTest, CancelJobSendsJobIdUserAndCredentialsThenRefreshes)
{
    AddPrinter("Laser", "bob", "secret");
    RefreshCompletely("Laser", {42});
    view.selectedRow = 0;
    Answer(server, HttpOk(IppAnswer(0).End().str()));
    AnswerRefresh(server, {});
    monitor.MegszakitClick();

    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.rows.empty());  // the refresh that followed
    ASSERT_EQ(server.Connections(), 7u);
    const std::string request = server.Received(3);
    EXPECT_EQ(RequestLine(request), "POST /printers/laser HTTP/1.0");
    EXPECT_NE(request.find("Authorization: Basic Ym9iOnNlY3JldA==\r\n"), std::string::npos);  // bob:secret
    const std::string body = request.substr(request.find("\r\n\r\n") + 4);
    EXPECT_EQ(body.substr(0, 9), std::string("\x01\x00\x00\x08\x00\x00\x00\x08\x01", 9));
    const std::string tail = std::string("\x21\x00\x06job-id\x00\x04\x00\x00\x00\x2a", 15) +
                             std::string("\x42\x00\x14requesting-user-name\x00\x03", 25) + "bob\x03";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
}

// ---------------------------------------------------------------------------------------------
// Printer commands, refusals and the web administration fallback

TEST_F(MonitorTest, PauseRefusedFallsBackToTheAdministrationPage)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");

    // Refused with 0x0401, and the administration page is not there either.
    Answer(server, HttpOk(IppAnswer(0x0401).End().str()));
    Answer(server, ScriptedPeer::Response(404, "Not Found", ""));
    AnswerRefresh(server);
    monitor.NyomtatofelfuggeszteseClick();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "A kérést a szerver elutasította, és CUPS HTTP kérés sem sikerült!\rHibakódok: "
                                     "0x0401  404\rA szerver ezt a műveletet senkinek sem engedi.");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Warning);
    const std::string pause = server.Received(3);
    EXPECT_EQ(pause.substr(pause.find("\r\n\r\n") + 4, 4), std::string("\x01\x00\x00\x10", 4));
    EXPECT_EQ(RequestLine(server.Received(4)), "GET /admin/?op=stop-printer&printer_name=laser HTTP/1.0");
    EXPECT_EQ(RequestLine(server.Received(5)), "GET /printers/laser HTTP/1.0");  // refresh follows
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);

    // Resume refused, and the administration page answers; the printer is not stopped: nothing to
    // report.
    view.messages.clear();
    Answer(server, HttpOk(IppAnswer(0x0401).End().str()));
    Answer(server, HttpOk("<html>started</html>", "text/html"));
    AnswerRefresh(server);
    monitor.NyomtatofolytatasaClick();
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(RequestLine(server.Received(9)), "GET /admin/?op=start-printer&printer_name=laser HTTP/1.0");
    EXPECT_EQ(server.Connections(), 13u);

    // Pause refused, the page answers 200 but does nothing: the refresh after it still reads idle.
    Answer(server, HttpOk(IppAnswer(0x0401).Text(0x41, "status-message", "No.").End().str()));
    Answer(server, HttpOk("<html>Unknown operation</html>", "text/html"));
    AnswerRefresh(server);
    monitor.NyomtatofelfuggeszteseClick();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text,
              "A kérést a szerver elutasította, a CUPS HTTP kérést elfogadta, de nem hajtotta végre: a nyomtató "
              "állapota nem változott!\rHibakód: 0x0401\rNo.\rA szerver ezt a műveletet senkinek sem engedi.");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(server.Connections(), 18u);

    // The same page that did stop the printer: the refresh reads "stopped", nothing to report.
    view.messages.clear();
    Answer(server, HttpOk(IppAnswer(0x0401).End().str()));
    Answer(server, HttpOk("<html>stopped</html>", "text/html"));
    AnswerRefresh(server, {7}, test::PrinterAnswer(5, true));
    monitor.NyomtatofelfuggeszteseClick();
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(MonitorTest, RefusedPurgeWarnsWithoutFallback)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    Answer(server, HttpOk(IppAnswer(0x0507).End().str()));
    AnswerRefresh(server);
    monitor.OsszesfeladattorleseClick();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "A kérést a szerver elutasította!\rHibakód: 0x0507");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(RequestLine(server.Received(4)), "GET /printers/laser HTTP/1.0");
    EXPECT_EQ(server.Connections(), 7u);
}

TEST_F(MonitorTest, StatusCodesOfTheAnswer)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    const auto purgeAnswered = [&](const std::string& answer) {
        view.messages.clear();
        Answer(server, HttpOk(answer));
        AnswerRefresh(server);
        monitor.OsszesfeladattorleseClick();
        return view.messages.empty() ? std::string() : view.messages[0].text;
    };
    // Successful codes that still carried the request out are not refusals.
    EXPECT_EQ(purgeAnswered(IppAnswer(0x0001).End().str()), "");
    EXPECT_EQ(purgeAnswered(IppAnswer(0x0002).End().str()), "");
    // A refusal says what the server said and what the code means.
    EXPECT_EQ(purgeAnswered(IppAnswer(0x0404).Text(0x41, "status-message", "Not now.").End().str()),
              "A kérést a szerver elutasította!\rHibakód: 0x0404\rNot now.\rA művelet most nem lehetséges (például "
              "csak visszatartott feladat folytatható).");
    // A pause answered 0x0001 was carried out: no box and no fallback, the refresh comes at once.
    const std::size_t before = server.Connections();
    Answer(server, HttpOk(IppAnswer(0x0001).End().str()));
    AnswerRefresh(server);
    view.messages.clear();
    monitor.NyomtatofelfuggeszteseClick();
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(RequestLine(server.Received(before + 1)), "GET /printers/laser HTTP/1.0");
    // A code of 0x8000 or more is shown as its 32-bit two's complement.
    EXPECT_EQ(purgeAnswered(IppAnswer(0x8001).End().str()), "A kérést a szerver elutasította!\rHibakód: 0xFFFF8001");
    // An answer too short to carry a status is not judged.
    EXPECT_EQ(purgeAnswered("short"), "");
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
}

TEST_F(MonitorTest, FailedPostShowsTheStatusAndDoesNotRefresh)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    Answer(server, ScriptedPeer::Response(500, "Internal Server Error", ""));
    monitor.NyomtatofelfuggeszteseClick();
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "Kérés sikertelen (500)");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(server.Connections(), 4u);  // no fallback, no refresh
    EXPECT_EQ(ends.size(), 1u);

    // The URL of a failed refresh is kept, and nothing listens there: a failed connect is 404.
    printers[0].remotehost = "127.0.0.1:1";
    monitor.RefreshButtonClick();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::ProbeFailed);
    monitor.OsszesfeladattorleseClick();
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[1].text, "Kérés sikertelen (404)");
}

// ---------------------------------------------------------------------------------------------
// Asking for the password the server wants

TEST_F(MonitorTest, RefusedPasswordIsAskedForOncePerActionAndTheRequestSentAgain)
{
    AddPrinter("Laser", "anna");
    RefreshCompletely("Laser");
    const auto unauthorized = ScriptedPeer::Response(401, "Unauthorized", "");
    const auto basic = [](const std::string& password) {
        return "Authorization: Basic " + Base64Encode("anna:" + password) + "\r\n";
    };
    const std::string refused = "Kérés sikertelen (401)\r" + std::string(texts::kWhyHttp401WithUser);
    // Asking is off (no "admin"): the refusal's box, and no question.
    Answer(server, unauthorized);
    monitor.NyomtatofelfuggeszteseClick();
    EXPECT_TRUE(view.questions.empty());
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, refused);

    // A wrong password: asked once, the same request sent again with it, then the box; no second
    // question within the same click.
    monitor.SetAskPasswords(true);
    view.passwordAnswers = {PasswordAnswer{"wrong", false}};
    Answer(server, unauthorized);
    Answer(server, unauthorized);
    monitor.NyomtatofelfuggeszteseClick();
    ASSERT_EQ(view.questions.size(), 1u);
    EXPECT_EQ(view.questions[0].server, "127.0.0.1:" + server.PortText());
    EXPECT_EQ(view.questions[0].user, "anna");
    ASSERT_EQ(server.Connections(), 6u);
    const auto bodyOf = [](const std::string& request) { return request.substr(request.find("\r\n\r\n")); };
    EXPECT_NE(server.Received(5).find(basic("wrong")), std::string::npos);
    EXPECT_EQ(bodyOf(server.Received(5)), bodyOf(server.Received(4)));  // the body sent whole again
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[1].text, refused);

    // The next click asks once again; the server takes this one, the refresh that follows the
    // operation goes silently with it, and so does the next operation.
    view.passwordAnswers = {PasswordAnswer{"right", false}};
    Answer(server, unauthorized);
    Answer(server, HttpOk(IppAnswer(0).End().str()));
    AnswerRefresh(server);
    monitor.NyomtatofelfuggeszteseClick();
    EXPECT_EQ(view.questions.size(), 2u);
    EXPECT_EQ(view.messages.size(), 2u);
    ASSERT_EQ(server.Connections(), 11u);
    EXPECT_NE(server.Received(7).find(basic("right")), std::string::npos);
    EXPECT_NE(server.Received(10).find(basic("right")), std::string::npos);
    Answer(server, HttpOk(IppAnswer(0).End().str()));
    AnswerRefresh(server);
    monitor.NyomtatofolytatasaClick();
    EXPECT_EQ(view.questions.size(), 2u);
    ASSERT_EQ(server.Connections(), 15u);
    EXPECT_NE(server.Received(11).find(basic("right")), std::string::npos);

    // The kept password refused: asked; Cancel ends the request with the explained box.
    Answer(server, unauthorized);
    monitor.OsszesfeladattorleseClick();
    EXPECT_EQ(view.questions.size(), 3u);
    EXPECT_EQ(server.Connections(), 16u);
    ASSERT_EQ(view.messages.size(), 3u);
    EXPECT_EQ(view.messages[2].text, refused);

    // The watch's refresh never asks.
    Answer(server, unauthorized);
    monitor.FollowRefresh();
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::JobsFailed);
    EXPECT_EQ(view.questions.size(), 3u);
    EXPECT_EQ(server.Connections(), 17u);

    // Two selected jobs, both refused: one question (cancelled) for the whole command.
    view.selectedCaptions = {"7", "8"};
    Answer(server, unauthorized);
    Answer(server, unauthorized);
    AnswerRefresh(server);
    monitor.JobCommandOnSelected(kIppCancelJob);
    EXPECT_EQ(view.questions.size(), 4u);
    EXPECT_EQ(server.Connections(), 22u);
}

// ---------------------------------------------------------------------------------------------
// One request inside another one's wait

TEST_F(MonitorTest, OperationDuringARefreshIsRefusedAndTheRefreshGoesOn)
{
    AddPrinter("Laser", "bob", "secret");
    // The probe's answer is held back while the operation runs from a timer.
    server.Connection().ReadRequest().Wait(800ms).Send(HttpOk("page", "text/html")).Close();
    Answer(server, HttpOk(test::HeldJobsAnswer({11, 12})));
    Answer(server, HttpOk(test::PrinterAnswer(3, true)));
    view.text = "Laser";
    std::size_t messagesDuringWait = 0;
    TimerAction pause(50ms, [&] {
        EXPECT_FALSE(view.selectorEnabled);
        EXPECT_FALSE(view.refreshEnabled);
        monitor.NyomtatofelfuggeszteseClick();
        messagesDuringWait = view.messages.size();
    });
    monitor.ComboBoxPrinterlistChange();

    EXPECT_TRUE(pause.ran);
    EXPECT_EQ(messagesDuringWait, 1u);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "Kérés sikertelen (0)");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Error);
    // The refresh ran on, untouched: its three requests and nothing else, its rows.
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
    EXPECT_EQ(view.rows.size(), 2u);
    ASSERT_EQ(server.Connections(), 3u);
    EXPECT_EQ(RequestLine(server.Received(0)), "GET /printers/laser HTTP/1.0");
    EXPECT_EQ(http.URL(), "http://127.0.0.1:" + std::to_string(server.Port()) + "/printers/laser");
    EXPECT_EQ(http.PostStream(), nullptr);
    EXPECT_EQ(http.ReplyStream(), nullptr);
}

TEST_F(MonitorTest, RefreshCalledInsideAWaitingRefreshDoesNothing)
{
    AddPrinter("Laser");
    server.Connection().ReadRequest().Wait(800ms).Send(HttpOk("page", "text/html")).Close();
    Answer(server, HttpOk(test::HeldJobsAnswer({11})));
    Answer(server, HttpOk(test::PrinterAnswer(3, true)));
    view.text = "Laser";
    std::string statusSeenInside;
    TimerAction again(50ms, [&] {
        monitor.RefreshButtonClick();
        statusSeenInside = view.status;
    });
    monitor.ComboBoxPrinterlistChange();
    EXPECT_TRUE(again.ran);
    EXPECT_EQ(statusSeenInside, "Laser");  // the outer refresh's first text, untouched
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].end, RefreshEnd::Complete);
    EXPECT_EQ(view.rows.size(), 1u);
    EXPECT_EQ(server.Connections(), 3u);
}

TEST_F(MonitorTest, RefreshDuringAnOperationEndsAsFailedProbe)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    // The purge's refusal is held back; the refresh from the timer must not take its streams.
    server.Connection().ReadRequest().Wait(800ms).Send(HttpOk(IppAnswer(0x0507).End().str())).Close();
    AnswerRefresh(server);
    TimerAction refresh(50ms, [&] { monitor.RefreshButtonClick(); });
    monitor.OsszesfeladattorleseClick();

    EXPECT_TRUE(refresh.ran);
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_EQ(ends[1].end, RefreshEnd::ProbeFailed);
    EXPECT_EQ(ends[1].status, "Laser - kapcsolódás sikertelen (0)");
    EXPECT_EQ(ends[2].end, RefreshEnd::Complete);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "A kérést a szerver elutasította!\rHibakód: 0x0507");
    EXPECT_EQ(server.Connections(), 7u);
}

TEST_F(MonitorTest, OperationDuringAnOperationIsRefused)
{
    AddPrinter("Laser");
    RefreshCompletely("Laser");
    server.Connection().ReadRequest().Wait(800ms).Send(HttpOk(IppAnswer(0).End().str())).Close();
    AnswerRefresh(server);
    TimerAction second(50ms, [&] { monitor.NyomtatofolytatasaClick(); });
    monitor.NyomtatofelfuggeszteseClick();
    EXPECT_TRUE(second.ran);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "Kérés sikertelen (0)");
    EXPECT_EQ(server.Connections(), 7u);
    EXPECT_EQ(monitor.LastRefreshEnd(), RefreshEnd::Complete);
}

}  // namespace
}  // namespace quenlo
