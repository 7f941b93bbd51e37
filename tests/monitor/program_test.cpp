// The program core below both windows, against the private CUPS server: its start-up and its watch
// in the tray. The same source runs on Linux (its own lab) and under wine, where
// scripts/wine-test.sh starts the lab and names its port and printer in QUENLO_WINE_CUPS_PORT and
// QUENLO_WINE_CORE_PRINTER (a printer with two jobs of "anna" held, left to this test).
#include "ipp/Ipp.h"
#include "monitor/DisplayText.h"
#include "monitor/Monitor.h"
#include "monitor/Overview.h"
#include "monitor/Program.h"
#include "monitor/Watcher.h"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"
#include "ServerSubscriptions.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "support/CupsLab.h"
#endif

namespace quenlo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The private CUPS server and a printer on it with two jobs of "anna" held.
struct Peer {
    std::string hostPort;
    std::string printer;
};

#ifdef _WIN32
#define QUENLO_REQUIRE_PEER(peer)                                                                   \
    const char* portText_ = std::getenv("QUENLO_WINE_CUPS_PORT");                                   \
    const char* printer_ = std::getenv("QUENLO_WINE_CORE_PRINTER");                                 \
    if (!portText_ || !printer_) {                                                                  \
        const char* ci_ = std::getenv("CI");                                                        \
        if (ci_ && std::string(ci_) == "true")                                                      \
            FAIL() << "QUENLO_WINE_CUPS_PORT is not set (scripts/wine-test.sh sets it)";            \
        GTEST_SKIP() << "QUENLO_WINE_CUPS_PORT is not set (scripts/wine-test.sh sets it)";          \
    }                                                                                               \
    const Peer peer{std::string("127.0.0.1:") + portText_, printer_}

void SetVariable(const char* name, const std::string& value) { ::_putenv_s(name, value.c_str()); }
#else
#define QUENLO_REQUIRE_PEER(peer)                                                                   \
    QUENLO_REQUIRE_CUPS_LAB(lab_);                                                                  \
    const Peer peer{lab_.HostPort(), lab_.AddUniquePrinter("core")};                                \
    lab_.HoldJobs(peer.printer, 2, {.user = "anna"})

void SetVariable(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
#endif

// Polls the thread's loop (the network and the program's tick) until done() or the limit.
bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        platform::WaitAndProcess(50ms);
    }
    return true;
}

// The window as the program sees it.
class Window : public MonitorView {
public:
    std::string status, printerStatus, comment, selected;
    std::vector<std::string> items, columns;
    std::vector<JobRow> rows;
    std::vector<std::string> messages;
    int selectedIndex = -1;
    // The administrator's window draws the overview; the plain one keeps the view's defaults.
    bool drawsOverview = false;
    std::vector<OverviewRow> overview;
    bool overviewShown = false;
    std::vector<std::size_t> rowsKnownInOrder;
    std::map<int, Lamp> itemLamps;

    void SetLabelStatus(const std::string& text) override { status = text; }
    void SetLabelPrinterStatus(const std::string& text) override { printerStatus = text; }
    void SetLabelComment(const std::string& text) override { comment = text; }
    void SetImageStatus(Lamp) override {}
    void SetImagePrinterStatus(Lamp) override {}
    void AddPrinterItem(const std::string& name) override { items.push_back(name); }
    void SelectPrinterItem(int index) override
    {
        selectedIndex = index;
        selected = index >= 0 ? items.at(static_cast<std::size_t>(index)) : "";
    }
    std::string PrinterText() const override { return selected; }
    void SetPrinterSelectorEnabled(bool) override {}
    void SetRefreshButtonEnabled(bool) override {}
    void AddJobColumn(const std::string& caption, int) override { columns.push_back(caption); }
    void ClearJobs() override { rows.clear(); }
    void AddJobRow(JobRow&& row) override { rows.push_back(std::move(row)); }
    int SelectedJobCount() const override { return 0; }
    std::string SelectedJobCaption() const override { return {}; }
    void ShowMessage(const std::string& text, MessageIcon) override { messages.push_back(text); }
    bool DrawsOverview() const override { return drawsOverview; }
    int PrinterItemIndex() const override { return selectedIndex; }
    void ShowOverview(const std::vector<OverviewRow>& shown) override
    {
        overview = shown;
        overviewShown = true;
    }
    void UpdateOverviewRow(std::size_t index, const OverviewRow& row) override
    {
        ASSERT_TRUE(overviewShown) << "a row drawn while the job list shows";
        if (row.known && !overview.at(index).known)
            rowsKnownInOrder.push_back(index);
        overview.at(index) = row;
    }
    void ShowJobList() override { overviewShown = false; }
    void SetPrinterItemLamp(int index, Lamp lamp) override { itemLamps[index] = lamp; }
};

// A folder where the program finds its printers file, as the user's per-user folder.
class ConfigHome {
public:
    ConfigHome() : dir_(fs::temp_directory_path() / ("quenlo-program-" + std::to_string(Unique())))
    {
        fs::create_directories(dir_ / "Dorvane" / "Quenlo");
#ifdef _WIN32
        SetVariable("APPDATA", dir_.string());
#else
        SetVariable("XDG_CONFIG_HOME", dir_.string());
#endif
        // Started in a folder of its own: a printers file in the current folder is not ours.
        fs::create_directories(dir_ / "cwd");
        fs::current_path(dir_ / "cwd");
    }
    ~ConfigHome()
    {
        std::error_code ignored;
        fs::current_path(fs::temp_directory_path(), ignored);
        fs::remove_all(dir_, ignored);
    }
    void Write(const std::string& text) const
    {
        std::ofstream(dir_ / "Dorvane" / "Quenlo" / "printers.qdl", std::ios::binary) << text;
    }
    std::string File() const { return (dir_ / "Dorvane" / "Quenlo" / "printers.qdl").string(); }

private:
    static long long Unique() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
    fs::path dir_;
};

std::string Entry(const std::string& name, const std::string& hostPort, const std::string& queue)
{
    return "<printer>\nname=" + name + "\nremotehost=" + hostPort + "\nurl=/printers/" + queue +
           "\nlocalport=-1\ncomment=Második emelet\n<endprinter>\n";
}

// Without a printers file, and with one that lists no printer, the program says why and what to
// do; with printers it fills the view in the file's order, shows the first one's queue and needs
// no watch.
TEST(ProgramCore, StartUpReadsTheFileFillsTheViewAndRefreshesTheFirstPrinter)
{
    QUENLO_REQUIRE_PEER(peer);
    ConfigHome home;
    {
        Window window;
        TProgram program(window);
        EXPECT_FALSE(program.Start());
        EXPECT_NE(program.SetupHint().find(" add KISZOLGÁLÓ"), std::string::npos) << program.SetupHint();
        EXPECT_TRUE(window.items.empty());
    }
    home.Write("proxyport=3128\n");
    {
        Window window;
        TProgram program(window);
        EXPECT_FALSE(program.Start());
        EXPECT_NE(program.SetupHint().find(home.File()), std::string::npos) << program.SetupHint();
        EXPECT_EQ(window.columns.size(), kJobColumns.size());
        EXPECT_TRUE(window.items.empty());
    }
    home.Write(Entry("Iroda", peer.hostPort, peer.printer) + Entry("Raktár", "127.0.0.1:9", "gone"));
    Window window;
    TProgram program(window);
    ASSERT_TRUE(program.Start());
    EXPECT_TRUE(program.Start()) << "a second start changes nothing";
    EXPECT_EQ(window.items, (std::vector<std::string>{"Iroda", "Raktár"}));
    EXPECT_EQ(window.columns.front(), "job ID");
    EXPECT_EQ(window.selected, "Iroda");
    EXPECT_EQ(window.comment, "Megjegyzés: Második emelet");
    EXPECT_EQ(window.status.rfind("Iroda - kapcsolódva, IPP rendben (", 0), 0u) << window.status;
    ASSERT_EQ(window.rows.size(), 2u);
    EXPECT_EQ(window.rows[0][2], "anna");
    EXPECT_FALSE(program.Watching());
    EXPECT_EQ(program.Tray().tip, "Quenlo");
    EXPECT_TRUE(window.messages.empty());
    program.EndGateways();
    program.EndWatch();
}

// With "watch": the printer paused through the program's own menu command turns the tray yellow
// with a line in its tip and a balloon once it has held for an interval (with "admin" one that
// offers to resume it), the shown view follows the server, the resume from the notice makes it
// green again within an interval, long before its minute, and the end of the watch leaves no
// subscription on the server. A server that does not answer turns the lamp red and names its
// printer in the tip and its notice.
TEST(ProgramCore, WatchShowsTheTrayAnnouncesAStoppedPrinterAndLeavesNoSubscription)
{
    QUENLO_REQUIRE_PEER(peer);
    ConfigHome home;
    home.Write("watch=1\nadmin=1\n" + Entry("Iroda", peer.hostPort, peer.printer));
    Window window;
    TProgram program(window);
    std::vector<TrayNotice> notices;
    std::vector<std::size_t> greenAgain;
    int trayChanges = 0;
    program.OnNotice = [&notices](TProgram&, const TrayNotice& notice) { notices.push_back(notice); };
    program.OnGreenAgain = [&greenAgain](TProgram&, std::size_t printer) { greenAgain.push_back(printer); };
    program.OnTrayChanged = [&trayChanges](TProgram&) { ++trayChanges; };
    program.ViewShown = [] { return true; };
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(program.Watching());
    EXPECT_GE(trayChanges, 1) << "the tray's state is reported when the watch starts";
    ASSERT_TRUE(RunUntil([&] { return program.Watcher()->State(0).looked; }));
    EXPECT_EQ(program.Tray().lamp, Lamp::Green);
    EXPECT_EQ(program.Tray().tip, "Quenlo");

    program.Run(form::Command::PausePrinter);
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    ASSERT_TRUE(RunUntil([&] { return !notices.empty(); })) << program.Tray().tip;
    EXPECT_EQ(notices[0].title, "Iroda leállt vagy nem fogad feladatot");
    EXPECT_EQ(notices[0].icon, TrayNotice::Icon::Warning);
    EXPECT_EQ(notices[0].lamp, Lamp::Yellow);
    EXPECT_EQ(notices[0].printer, 0u);
    EXPECT_TRUE(notices[0].resumable) << "paused by someone, under admin";
    EXPECT_EQ(program.Tray().lamp, Lamp::Yellow);
    EXPECT_EQ(program.Tray().tip.rfind("Quenlo\nIroda - ", 0), 0u) << program.Tray().tip;
    EXPECT_NE(program.Tray().tip.find("stopped"), std::string::npos) << program.Tray().tip;
    ASSERT_TRUE(RunUntil([&] { return program.FollowCount() >= 1; })) << "the shown view follows the server";
    EXPECT_NE(window.printerStatus.find("stopped"), std::string::npos) << window.printerStatus;

    program.ResumeNoticed(0);
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    ASSERT_TRUE(RunUntil([&] { return !greenAgain.empty(); })) << program.Tray().tip;
    EXPECT_EQ(greenAgain, std::vector<std::size_t>{0});
    EXPECT_EQ(notices.size(), 1u) << "green again is no notice of its own: " << notices.back().title;
    EXPECT_GE(SubscriptionsOnServer(peer.hostPort), 1);
    program.EndWatch(30s);
    EXPECT_FALSE(program.Watching());
    EXPECT_EQ(SubscriptionsOnServer(peer.hostPort), 0);

    home.Write("watch=1\n" + Entry("Iroda", peer.hostPort, peer.printer) + Entry("Raktár", "127.0.0.1:9", "gone"));
    Window downWindow;
    TProgram down(downWindow);
    notices.clear();
    down.OnNotice = [&notices](TProgram&, const TrayNotice& notice) { notices.push_back(notice); };
    ASSERT_TRUE(down.Start());
    ASSERT_TRUE(RunUntil([&] { return down.Tray().lamp == Lamp::Red; })) << down.Tray().tip;
    EXPECT_EQ(down.Tray().tip.rfind("Quenlo\nRaktár - ", 0), 0u) << down.Tray().tip;
    ASSERT_TRUE(RunUntil([&] { return !notices.empty(); }));
    EXPECT_EQ(notices[0].title, "Raktár nem érhető el");
    EXPECT_EQ(notices[0].printer, 1u);
    EXPECT_EQ(notices[0].lamp, Lamp::Red);
    EXPECT_FALSE(notices[0].resumable);
    down.EndWatch();
}

// With "admin": the window starts on the overview, a row per printer filled by one look (a server
// that does not answer leaves its row red), the selector's items carry the lamps; the printer menu
// on a row pauses that printer with CurrentPrinter untouched and the job menu off, and opening the
// row shows its queue as the selector does.
TEST(ProgramCore, AdminOverviewShowsEveryPrinterAndActsOnTheRowsPrinter)
{
    QUENLO_REQUIRE_PEER(peer);
    ConfigHome home;
    // A server that takes the request and never answers: its row waits for the answer's time
    // limit while the others fill.
    test::ScriptedPeer silent;
    silent.Connection().ReadRequest().Hold();
    home.Write("admin=1\n" + Entry("Iroda", peer.hostPort, peer.printer) +
               Entry("Pince", "127.0.0.1:" + std::to_string(silent.Port()), "csendes") + Entry("Raktár", "127.0.0.1:9", "gone"));
    Window window;
    window.drawsOverview = true;
    TProgram program(window);
    ASSERT_TRUE(program.Start());
    EXPECT_EQ(window.items, (std::vector<std::string>{kOverviewCaption, "Iroda", "Pince", "Raktár"}));
    ASSERT_TRUE(program.OnOverview());
    ASSERT_TRUE(window.overviewShown);
    ASSERT_EQ(window.overview.size(), 3u);
    EXPECT_TRUE(window.rows.empty()) << "no queue is asked for on the overview";
    EXPECT_EQ(program.Monitor().CurrentPrinter(), nullptr);
    ASSERT_TRUE(RunUntil([&] { return window.rowsKnownInOrder.size() == 3; }));
    EXPECT_EQ(window.rowsKnownInOrder.back(), 1u) << "the silent server's row held back another";
    EXPECT_EQ(window.overview[1].lamp, Lamp::Red);
    EXPECT_NE(window.overview[1].line, "") << "a red row says why";
    EXPECT_EQ(window.status, "Összes nyomtató: 3");
    EXPECT_EQ(window.printerStatus, "1 rendben, 0 figyelmeztetéssel, 2 hibás");
    const auto bothKnown = [&] { return window.overview[0].known && window.overview[2].known; };
    EXPECT_EQ(window.overview[0].lamp, Lamp::Green);
    EXPECT_EQ(window.overview[0].name, "Iroda");
    EXPECT_EQ(window.overview[0].server, peer.hostPort);
    EXPECT_EQ(window.overview[0].line, "idle, accepting jobs");
    EXPECT_EQ(window.overview[0].jobs, 2);
    EXPECT_EQ(window.overview[2].lamp, Lamp::Red);
    EXPECT_EQ(window.itemLamps, (std::map<int, Lamp>{{1, Lamp::Green}, {2, Lamp::Red}, {3, Lamp::Red}}));

    program.Run(form::Command::CancelJob);
    program.Run(form::Command::PausePrinter);
    EXPECT_TRUE(window.messages.empty()) << "the job menu is off on the overview: " << window.messages.front();
    program.RunOnRow(form::Command::PausePrinter, 0);
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();
    EXPECT_EQ(program.Monitor().CurrentPrinter(), nullptr);
    // The pause starts a new look at every row; the summary counts the rows still in flight as
    // waiting until their answers (or their time limits) are in.
    ASSERT_TRUE(RunUntil([&] { return window.printerStatus == "0 rendben, 1 figyelmeztetéssel, 2 hibás"; }))
        << window.printerStatus;
    EXPECT_EQ(window.overview[0].lamp, Lamp::Yellow);
    EXPECT_NE(window.overview[0].line.find("stopped"), std::string::npos) << window.overview[0].line;
    EXPECT_EQ(window.itemLamps[1], Lamp::Yellow);

    program.OpenRow(0);
    EXPECT_FALSE(program.OnOverview());
    EXPECT_FALSE(window.overviewShown);
    EXPECT_EQ(window.selected, "Iroda");
    ASSERT_NE(program.Monitor().CurrentPrinter(), nullptr);
    EXPECT_EQ(program.Monitor().CurrentPrinter()->name, "Iroda");
    EXPECT_EQ(window.rows.size(), 2u);
    EXPECT_NE(window.printerStatus.find("stopped"), std::string::npos) << window.printerStatus;
    program.Run(form::Command::ResumePrinter);
    EXPECT_TRUE(window.messages.empty()) << window.messages.front();

    window.SelectPrinterItem(0);
    program.Run(form::Command::Refresh);
    EXPECT_TRUE(program.OnOverview());
    ASSERT_TRUE(RunUntil(bothKnown));
    EXPECT_EQ(window.overview[0].lamp, Lamp::Green) << window.overview[0].line;
    EXPECT_EQ(program.Monitor().CurrentPrinter()->name, "Iroda") << "CurrentPrinter stays on the overview";
    program.EndGateways();
}

// The tray's tip holds 127 characters on Windows, a balloon's title 63: a longer tip keeps the
// printers' lines that fit whole, a longer text is cut at a whole character with an ellipsis.
TEST(ProgramCore, TrayTextsCutToTheirRoomAtWholeLinesAndCharacters)
{
    const std::u16string line(40, u'x');
    const std::u16string tip = u"Quenlo\n" + line + u"\n" + line + u"\n" + line;
    EXPECT_EQ(FittedLines(tip, tip.size()), tip);
    EXPECT_EQ(FittedLines(tip, 127), u"Quenlo\n" + line + u"\n" + line);
    EXPECT_EQ(FittedLines(tip, 47), u"Quenlo\n" + line);
    EXPECT_EQ(FittedLines(std::u16string(200, u'y') + u"\nz", 127), std::u16string(126, u'y') + u"\u2026");
    // "Iroda ő" and a character outside the basic plane (two units) that does not fit whole.
    const std::u16string title = DisplayText("Iroda \xc5\x91 \xf0\x9f\x96\xa8!");
    EXPECT_EQ(title, u"Iroda \u0151 \U0001F5A8!");
    EXPECT_EQ(FittedText(title, 10), u"Iroda \u0151 \u2026");
    EXPECT_EQ(FittedText(title, 11), title);
}

// A server's text cannot turn the words around it: its bidirectional controls show instead of
// acting, and a right-to-left one stands isolated. Left-to-right text is left as it was.
TEST(ProgramCore, ServerTextsShowTheirBidiControlsAndStandIsolated)
{
    EXPECT_EQ(IsolatedDisplayText("invoice\u202egnp.exe"), u"\u2068invoice<U+202E>gnp.exe\u2069");
    EXPECT_EQ(IsolatedDisplayText("\u2066a\u2069 \u202a"), u"\u2068<U+2066>a<U+2069> <U+202A>\u2069");
    EXPECT_EQ(IsolatedDisplayText("Laser \u05e9\u05dc \u0661"), u"\u2068Laser \u05e9\u05dc \u0661\u2069");
    EXPECT_EQ(IsolatedDisplayText("Havi jelent\xe9s\u202f\u2070"), u"Havi jelent\u00e9s\u202f\u2070");
}

}  // namespace
}  // namespace quenlo
