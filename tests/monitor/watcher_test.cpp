// The background watch against real servers: a private CUPS server of its own (open and stock
// policy), which the test pauses, fills, empties, stops and starts again, and an independent IPP
// server (ippeveprinter). Deadlines are generous: the time each change took to be seen is printed,
// never asserted (the benchmark and the soak script measure it).
#include "ipp/Ipp.h"
#include "monitor/MonitorTexts.h"
#include "monitor/Watcher.h"
#include "MonitorTestKit.h"
#include "ServerSubscriptions.h"
#include "support/CupsLab.h"
#include "support/IppEvePrinter.h"
#include "support/LocalServers.h"
#include "support/PrivateFiles.h"
#include "support/RunUntil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

namespace quenlo {
namespace {

using namespace std::chrono_literals;

constexpr auto kSeen = 30s;  // a loaded machine may be slow; a change that is missed never comes

// The file's entry of the printer at `path` on `hostPort`.
TAList EntryAt(const std::string& hostPort, const std::string& path, const std::string& name)
{
    TAList e;
    e.name = name;
    e.remotehost = hostPort;
    e.url = path;
    e.localport = -1;
    return e;
}

// A lab of this test's own, which it may take down and up.
class OwnLab : public test::CupsLab {
public:
    explicit OwnLab(const std::string& mode) : CupsLab(false, mode) {}
    TAList Entry(const std::string& printer) const { return EntryAt(HostPort(), "/printers/" + printer, printer); }
    // Prints a document whose lines the lab's "lab-says" backend tells the scheduler.
    void PrintSaying(const std::string& printer, const std::string& lines) const
    {
        const std::string doc = Dir() + "/says-" + printer + ".txt";
        std::ofstream(doc) << lines;
        std::filesystem::permissions(doc, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                              std::filesystem::perms::group_read | std::filesystem::perms::others_read);
        Run("print", {printer, doc});
    }
};

// Runs a lab command while this thread's loop goes on: the watch's timers keep their pace however
// long the command takes on a loaded machine, so a kept connection is not left idle by the test.
void RunWhileWatching(const OwnLab& lab, const std::string& subcommand, const std::vector<std::string>& args)
{
    auto done = std::async(std::launch::async, [&] { lab.Run(subcommand, args); });
    test::runUntil([&] { return done.wait_for(0s) == std::future_status::ready; }, 120s);
    done.get();
}

// Pumps until printer `index` shows what `wanted` asks for; prints how long it took.
bool SeenWithin(TWatcher& watcher, std::size_t index, const char* what,
                const std::function<bool(const WatchState&)>& wanted)
{
    const auto start = std::chrono::steady_clock::now();
    const bool seen = test::runUntil([&] { return wanted(watcher.State(index)); }, kSeen);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "[ watch    ] " << what << " seen after " << ms.count() << " ms ("
              << to_string(watcher.Mode(index)) << ")\n";
    return seen;
}

// An answer whose request-id is not the request's answers another request (one a kept connection
// carried ahead, or one injected into it): it never shows as the printer's state.
TEST(WatcherScripted, AnAnswerNamingAnotherRequestIsNoAnswer)
{
    for (const std::uint32_t requestId : {std::uint32_t{kIppGetPrinterAttributes}, std::uint32_t{kIppGetJobs}}) {
        SCOPED_TRACE(requestId);
        test::ScriptedPeer server;
        const std::string stopped =
            test::IppAnswer(0, requestId).Tag(0x04).Integer(0x23, "printer-state", 5).End().str();
        server.Serve([&](test::Link& c) {
            if (c.ReadRequest())
                c.Write(test::HttpOk(stopped));
        });
        server.RepeatLast(true);
        PrinterList printers{EntryAt("127.0.0.1:" + server.PortText(), "/printers/p", "p")};
        TWatcher watcher(printers, ProxySettings{}, 1);
        watcher.PollOnly();
        watcher.Start();
        ASSERT_TRUE(test::runUntil([&] { return watcher.State(0).looked; }, kSeen));
        EXPECT_EQ(watcher.State(0).reachable, requestId == kIppGetPrinterAttributes);
        EXPECT_EQ(watcher.State(0).printer.stateText == "stopped", requestId == kIppGetPrinterAttributes);
        watcher.Stop();
    }
}

// A server that wants a password the watch does not have: the printer shows as needing one (the
// watch never asks; the window does when the printer is opened).
TEST(WatcherScripted, ServerWantingAPasswordShowsAsNeedingOne)
{
    test::ScriptedPeer server;
    server.Serve([&](test::Link& c) {
        if (c.ReadRequest())
            c.Write(test::ScriptedPeer::Response(401, "Unauthorized", ""));
    });
    server.RepeatLast(true);
    PrinterList printers{EntryAt("127.0.0.1:" + server.PortText(), "/printers/p", "p")};
    printers[0].user = "anna";
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.PollOnly();
    watcher.Start();
    ASSERT_TRUE(test::runUntil([&] { return watcher.State(0).looked; }, kSeen));
    EXPECT_EQ(WatchLine(watcher.State(0), "p"), std::string("p") + texts::kNeedsPasswordSuffix);
    watcher.Stop();
}

class WatcherCups : public ::testing::TestWithParam<const char*> {};

// Pause with a message, resume, a job queued and cancelled, the server stopped and started: each
// reaches the watcher's state, and the subscription survives (or is made again after) the restart.
TEST_P(WatcherCups, FollowsEveryKindOfChange)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab(GetParam());
    lab.Run("add-printer", {"quiet"});
    lab.Run("add-printer", {"busy"});
    PrinterList printers{lab.Entry("quiet"), lab.Entry("busy")};
    TWatcher watcher(printers, ProxySettings{}, 1);
    int changesOfQuiet = 0;
    watcher.OnChange = [&](TWatcher&, std::size_t index) { changesOfQuiet += index == 0 ? 1 : 0; };
    watcher.Start();

    ASSERT_TRUE(SeenWithin(watcher, 1, "first look", [](const WatchState& s) { return s.looked; }));
    EXPECT_EQ(watcher.Mode(1), WatchMode::Events) << "the server offers subscriptions to anyone";
    EXPECT_EQ(WatchLamp(watcher.State(1)), Lamp::Green);
    EXPECT_EQ(watcher.State(1).jobs, 0);

    lab.Run("pause", {"busy", "Papír elakadt"});
    ASSERT_TRUE(SeenWithin(watcher, 1, "pause", [](const WatchState& s) {
        return s.printer.stateMessage == "Papír elakadt";
    }));
    EXPECT_EQ(WatchLine(watcher.State(1), "busy"), "busy - stopped, accepting jobs (Papír elakadt)");
    EXPECT_EQ(WatchLamp(watcher.State(1)), Lamp::Yellow);

    lab.Run("resume", {"busy"});
    ASSERT_TRUE(SeenWithin(watcher, 1, "resume", [](const WatchState& s) { return s.printer.stateText == "idle"; }));
    EXPECT_EQ(WatchLamp(watcher.State(1)), Lamp::Green);

    lab.Run("hold-jobs", {"busy", "2"});
    ASSERT_TRUE(SeenWithin(watcher, 1, "jobs added", [](const WatchState& s) { return s.jobs == 2; }));
    lab.Run("cancel-all", {"busy"});
    ASSERT_TRUE(SeenWithin(watcher, 1, "jobs cancelled", [](const WatchState& s) { return s.jobs == 0; }));

    lab.Run("down");
    ASSERT_TRUE(SeenWithin(watcher, 1, "server down", [](const WatchState& s) { return !s.reachable; }));
    EXPECT_EQ(WatchLamp(watcher.State(1)), Lamp::Red);
    EXPECT_EQ(WatchLine(watcher.State(1), "busy"), "busy - unknown");
    const std::uint64_t whileDown = watcher.ServerRequestCount(1);
    test::runFor(2500ms);
    EXPECT_GE(watcher.ServerRequestCount(1), whileDown + 1) << "a dead server is still looked at, at the same pace";

    lab.Run("up");
    ASSERT_TRUE(SeenWithin(watcher, 1, "server up", [](const WatchState& s) { return s.reachable; }));
    EXPECT_EQ(WatchLamp(watcher.State(1)), Lamp::Green);
    lab.Run("pause", {"busy", "again"});
    ASSERT_TRUE(SeenWithin(watcher, 1, "pause after restart", [](const WatchState& s) {
        return s.printer.stateMessage == "again";
    }));
    EXPECT_EQ(watcher.Mode(1), WatchMode::Events);

    // The other printer of the same server changed only with the server: first look, down, up.
    EXPECT_EQ(changesOfQuiet, 3);

    watcher.CancelSubscriptions();
    EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
}

INSTANTIATE_TEST_SUITE_P(Policies, WatcherCups, ::testing::Values("", "--stock"),
                         [](const auto& p) { return std::string(*p.param ? "Stock" : "Open"); });

// Jobs moved to another queue leave no event about the queue they left: the periodic look at the
// attributes still brings its count down. At the end no subscription is left on the server, not
// even one that was being granted when the watch ended.
TEST(WatcherCupsEnd, SeesJobsMovedAwayAndLeavesNoSubscriptionBehind)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab("");
    lab.Run("add-printer", {"moved"});
    lab.Run("add-printer", {"target"});
    // The entry spells the queue's name in capitals; the server's events write it as it was made.
    TAList moved = lab.Entry("moved");
    moved.url = "/printers/MOVED";
    PrinterList printers{moved, lab.Entry("target")};
    {
        TWatcher watcher(printers, ProxySettings{}, 1);
        watcher.Start();
        ASSERT_TRUE(SeenWithin(watcher, 0, "first look", [](const WatchState& s) { return s.looked; }));
        ASSERT_EQ(watcher.Mode(0), WatchMode::Events);
        lab.Run("hold-jobs", {"moved", "2"});
        ASSERT_TRUE(SeenWithin(watcher, 0, "jobs added", [](const WatchState& s) { return s.jobs == 2; }));
        lab.Run("move-jobs", {"moved", "target"});
        EXPECT_TRUE(SeenWithin(watcher, 1, "jobs moved in", [](const WatchState& s) { return s.jobs == 2; }));
        EXPECT_TRUE(SeenWithin(watcher, 0, "jobs moved away", [](const WatchState& s) { return s.jobs == 0; }));
        EXPECT_EQ(SubscriptionsOnServer(lab.HostPort()), 1) << "one subscription for all the printers of a server";

        watcher.CancelSubscriptions();
        ASSERT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
        EXPECT_EQ(SubscriptionsOnServer(lab.HostPort()), 0);
    }
    TWatcher ended(printers, ProxySettings{}, 1);
    ended.Start();  // the subscription asked for ...
    ended.CancelSubscriptions();  // ... and the watch ended before it was granted
    ASSERT_TRUE(test::runUntil([&] { return !ended.Busy(); }, 10s));
    EXPECT_EQ(SubscriptionsOnServer(lab.HostPort()), 0);
}

// The printers of one server share one subscription: a printer outside the file changing wakes
// none of ours, a change of one wakes only that one, and a server that lost its subscriptions in a
// restart is asked for one again, not one per printer.
TEST(WatcherCupsShared, OneSubscriptionPerServerThroughARestartThatLostIt)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab("");
    for (const char* name : {"first", "second", "third", "outsider"})
        lab.Run("add-printer", {name});
    PrinterList printers{lab.Entry("first"), lab.Entry("second"), lab.Entry("third")};
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.Start();
    for (std::size_t i = 0; i < printers.size(); ++i)
        ASSERT_TRUE(SeenWithin(watcher, i, "first look", [](const WatchState& s) { return s.looked; }));
    ASSERT_EQ(watcher.Mode(2), WatchMode::Events);
    EXPECT_EQ(SubscriptionsOnServer(lab.HostPort()), 1);

    // Two printers woken at once would be read in the shared CUPS-Get-Printers, which the
    // printers' own request counts never see: the looks that events made due do.
    const std::uint64_t second = watcher.EventLookCount(1), third = watcher.EventLookCount(2);
    lab.Run("pause", {"outsider", "not ours"});
    lab.Run("resume", {"outsider"});
    lab.Run("pause", {"first", "ours"});
    ASSERT_TRUE(SeenWithin(watcher, 0, "pause", [](const WatchState& s) { return s.printer.stateMessage == "ours"; }));
    EXPECT_GT(watcher.EventLookCount(0), 0u);
    EXPECT_EQ(watcher.EventLookCount(1), second) << "no event named it";
    EXPECT_EQ(watcher.EventLookCount(2), third) << "no event named it";

    lab.Run("down");
    ASSERT_TRUE(SeenWithin(watcher, 0, "server down", [](const WatchState& s) { return !s.reachable; }));
    // CUPS reads its backup copy back when the file itself is gone: both go.
    std::vector<std::filesystem::path> kept;
    for (const auto& file : std::filesystem::recursive_directory_iterator(lab.Dir()))
        if (file.path().filename().string().starts_with("subscriptions.conf"))
            kept.push_back(file.path());
    for (const auto& file : kept)
        std::filesystem::remove(file);
    lab.Run("up");
    lab.Run("pause", {"third", "after the restart"});
    ASSERT_TRUE(SeenWithin(watcher, 2, "pause after restart", [](const WatchState& s) {
        return s.printer.stateMessage == "after the restart";
    }));
    ASSERT_TRUE(test::runUntil([&] { return watcher.Mode(0) == WatchMode::Events; }, kSeen));
    EXPECT_EQ(SubscriptionsOnServer(lab.HostPort()), 1) << "a new subscription, not one per printer";
    watcher.CancelSubscriptions();
    EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
    EXPECT_EQ(SubscriptionsOnServer(lab.HostPort()), 0);
}

// The local ports of the established TCP connections to 127.0.0.1:`port` (this machine's table:
// only the lab's own clients connect to its port).
std::set<int> ConnectionsTo(int port)
{
    std::set<int> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "01" && remote.size() > 5 && std::stoi(remote.substr(remote.size() - 4), nullptr, 16) == port)
            ports.insert(std::stoi(local.substr(local.size() - 4), nullptr, 16));
    }
    return ports;
}

// The watch's requests to a server go over one connection that stays open between looks, and a
// connection left idle (the watch stopped) is closed after two intervals, well before the
// server's own idle limit of 30 s: a held connection takes one of the server's client slots.
TEST(WatcherCupsShared, LooksShareOneKeptConnectionClosedWhenIdle)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab("");
    lab.Run("add-printer", {"near"});
    lab.Run("add-printer", {"far"});
    PrinterList printers{lab.Entry("near"), lab.Entry("far")};
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.Start();
    ASSERT_TRUE(SeenWithin(watcher, 1, "first look", [](const WatchState& s) { return s.looked; }));
    const std::uint64_t from = watcher.ServerRequestCount(0);
    std::set<int> always = ConnectionsTo(lab.Port());
    ASSERT_TRUE(test::runUntil([&] {
        std::set<int> still;
        const std::set<int> now = ConnectionsTo(lab.Port());
        std::set_intersection(always.begin(), always.end(), now.begin(), now.end(), std::inserter(still, still.end()));
        always = still;
        return watcher.ServerRequestCount(0) >= from + 4;
    }, kSeen));
    EXPECT_EQ(always.size(), 1u) << "one connection open through four looks";

    watcher.Stop();
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::runUntil([&] { return ConnectionsTo(lab.Port()).empty(); }, 15s));
    std::cout << "[ watch    ] idle connection closed after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped).count()
              << " ms\n";
    watcher.CancelSubscriptions();
    EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
}

// A TCP relay on 127.0.0.1 in front of `target`'s port that counts the connections it accepts: the
// connections, and over TLS the handshakes, the server behind it would have taken. Stops with the
// test.
class CountingRelay {
public:
    explicit CountingRelay(int target) : target_(target)
    {
        listener_ = test::ListenLoopback(port_);
        if (listener_ < 0)
            throw std::runtime_error("no listening socket for the relay");
        thread_ = std::thread([this] { Run(); });
    }
    ~CountingRelay()
    {
        stop_ = true;
        thread_.join();
        for (const auto& [client, server] : pairs_) {
            ::close(client);
            ::close(server);
        }
        ::close(listener_);
    }
    CountingRelay(const CountingRelay&) = delete;
    CountingRelay& operator=(const CountingRelay&) = delete;

    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::size_t Accepted() const { return accepted_; }

private:
    void Run()
    {
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const auto& [client, server] : pairs_) {
                fds.push_back({client, POLLIN, 0});
                fds.push_back({server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            std::vector<std::pair<int, int>> open;
            for (std::size_t i = 0; i < fds.size() / 2; ++i) {
                const auto [client, server] = pairs_[i];
                const bool ended = !Pass(fds[1 + 2 * i], server) || !Pass(fds[2 + 2 * i], client);
                if (ended) {
                    ::close(client);
                    ::close(server);
                } else {
                    open.emplace_back(client, server);
                }
            }
            pairs_ = std::move(open);
            if (fds[0].revents & POLLIN)
                Accept();
        }
    }
    void Accept()
    {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        ++accepted_;
        const int server = test::ConnectLoopback(target_);
        if (server < 0) {
            ::close(client);
            return;
        }
        pairs_.emplace_back(client, server);
    }
    // Forwards what `from` has to `to`; false when `from` ended (either side's end ends both).
    static bool Pass(const pollfd& from, int to)
    {
        if (from.revents == 0)
            return true;
        char buffer[16384];
        const ssize_t n = ::read(from.fd, buffer, sizeof buffer);
        return n > 0 && test::SendAll(to, buffer, static_cast<std::size_t>(n));
    }

    int target_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::pair<int, int>> pairs_;  // client, server
    std::atomic<std::size_t> accepted_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A printer watched alone is looked at over its server's kept connection, at every look and at
// every look an event wakes: over TLS a connection per look is a handshake per look on the server.
TEST(WatcherCupsShared, APrinterAloneIsLookedAtOverTheKeptConnection)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab("");
    lab.Run("add-printer", {"alone"});
    CountingRelay relay(lab.Port());
    TAList entry = lab.Entry("alone");
    entry.remotehost = relay.HostPort();
    for (const bool pollOnly : {true, false}) {
        SCOPED_TRACE(pollOnly ? "polling" : "on events");
        PrinterList printers{entry};
        TWatcher watcher(printers, ProxySettings{}, 1);
        if (pollOnly)
            watcher.PollOnly();
        watcher.Start();
        ASSERT_TRUE(SeenWithin(watcher, 0, "first look", [](const WatchState& s) { return s.looked; }));
        ASSERT_EQ(watcher.Mode(0), pollOnly ? WatchMode::Polling : WatchMode::Events);
        const std::size_t connections = relay.Accepted();
        const std::uint64_t looks = watcher.RequestCount(0);
        if (pollOnly) {
            ASSERT_TRUE(test::runUntil([&] { return watcher.RequestCount(0) >= looks + 4; }, kSeen));
        } else {
            const std::uint64_t woken = watcher.EventLookCount(0);
            for (const char* message : {"first", "second"}) {
                RunWhileWatching(lab, "pause", {"alone", message});
                ASSERT_TRUE(SeenWithin(watcher, 0, "pause", [&](const WatchState& s) {
                    return s.printer.stateMessage == message;
                }));
                RunWhileWatching(lab, "resume", {"alone"});
                ASSERT_TRUE(SeenWithin(watcher, 0, "resume", [](const WatchState& s) {
                    return s.printer.stateText == "idle";
                }));
            }
            ASSERT_GE(watcher.EventLookCount(0), woken + 4);
        }
        // One more at most: a server may close a kept connection between two looks.
        EXPECT_LE(relay.Accepted(), connections + 1)
            << watcher.RequestCount(0) - looks << " looks at the printer";
        watcher.CancelSubscriptions();
        EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
    }
}

// Another client holds every subscription the server takes: the watch sees changes by looking, one
// request per look for both printers, and does not ask for a subscription again before its pause.
TEST(WatcherCupsFull, LooksAndWaitsWhileAnotherClientHoldsEverySubscription)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab("");
    lab.Run("add-printer", {"one"});
    lab.Run("add-printer", {"two"});
    const std::string root = "ipp://127.0.0.1:" + std::to_string(lab.Port()) + "/";
    bool full = false;
    for (int i = 0; i < 500 && !full; ++i)
        full = ReadSubscriptionAnswer(test::PostIpp(lab.Port(), "/", BuildCreatePrinterSubscriptionsRequest(
                                                                          root, "someone-else", 600)))
                   .ServerFull();
    ASSERT_TRUE(full) << "the server took every subscription asked for";

    PrinterList printers{lab.Entry("one"), lab.Entry("two")};
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.Start();
    ASSERT_TRUE(SeenWithin(watcher, 1, "first look", [](const WatchState& s) { return s.looked; }));
    EXPECT_EQ(watcher.Mode(1), WatchMode::Polling);
    const std::uint64_t own = watcher.RequestCount(0) + watcher.RequestCount(1);
    const std::uint64_t shared = watcher.ServerRequestCount(1);
    lab.Run("pause", {"two", "seen by looking"});
    EXPECT_TRUE(SeenWithin(watcher, 1, "pause", [](const WatchState& s) {
        return s.printer.stateMessage == "seen by looking";
    }));
    test::runFor(3s);
    EXPECT_EQ(watcher.RequestCount(0) + watcher.RequestCount(1), own) << "no request of a printer's own";
    EXPECT_GE(watcher.ServerRequestCount(1), shared + 2) << "the server's printers are listed at every look";
    EXPECT_EQ(watcher.SubscribeCount(), 1u) << "once for the server, then not before the pause";
    watcher.CancelSubscriptions();
    EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
}

// A printer entry whose queue the server does not have: said so, yellow, not an empty printer line.
TEST(WatcherCupsMissing, QueueTheServerDoesNotHave)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    PrinterList printers{EntryAt(lab.HostPort(), test::CupsLab::PrinterPath("no-such-queue"), "Typo")};
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.Start();
    ASSERT_TRUE(SeenWithin(watcher, 0, "first look", [](const WatchState& s) { return s.looked; }));
    EXPECT_EQ(WatchLine(watcher.State(0), "Typo"), "Typo - a szerveren nincs ilyen nyomtató");
    EXPECT_EQ(WatchLamp(watcher.State(0)), Lamp::Yellow);
    EXPECT_EQ(watcher.State(0).jobs, -1);
}

bool HasReason(const WatchState& s, const std::string& reason)
{
    return std::find(s.says.reasons.begin(), s.says.reasons.end(), reason) != s.says.reasons.end();
}

// A printer that jams while it prints and runs low on toner, the way a backend tells the scheduler:
// the jam turns the lamp yellow with its own text, the low toner is a warning that leaves the lamp
// as it is, a level the printer does not know is no alert; connecting-to-device is none either.
TEST(WatcherCupsSays, SeesTheJamAndTheTonerTheBackendReports)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    OwnLab lab("");
    lab.Run("add-printer", {"says", "--device", "lab-says:/"});
    PrinterList printers{lab.Entry("says")};
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.Start();
    ASSERT_TRUE(SeenWithin(watcher, 0, "first look", [](const WatchState& s) { return s.looked; }));
    ASSERT_EQ(watcher.Mode(0), WatchMode::Events);

    const std::string go = lab.Dir() + "/go", connected = lab.Dir() + "/connected";
    lab.PrintSaying("says", "STATE: +connecting-to-device\n"
                            "wait " + connected + "\n"
                            "STATE: -connecting-to-device\n"
                            "ATTR: marker-colors=#000000,#00FFFF,none marker-names=Black\\ Toner,Cyan,Waste "
                            "marker-types=toner,toner,waste-toner marker-levels=5,-1,95 "
                            "marker-low-levels=10,10,0 marker-high-levels=100,100,90\n"
                            "STATE: +media-jam-error\n"
                            "wait " + go + "\n"
                            "STATE: -media-jam-error\n"
                            "ATTR: marker-levels=80,-1,20\n");
    ASSERT_TRUE(SeenWithin(watcher, 0, "connecting", [](const WatchState& s) {
        return HasReason(s, "connecting-to-device");
    }));
    EXPECT_EQ(WatchLamp(watcher.State(0)), Lamp::Green);
    EXPECT_TRUE(WatchAlerts(watcher.State(0)).empty());

    std::ofstream(connected).put('\n');
    ASSERT_TRUE(SeenWithin(watcher, 0, "jam", [](const WatchState& s) { return HasReason(s, "media-jam-error"); }));
    ASSERT_TRUE(SeenWithin(watcher, 0, "toner", [](const WatchState& s) { return s.says.supplies.size() == 3; }));
    const WatchState& jammed = watcher.State(0);
    EXPECT_EQ(WatchLamp(jammed), Lamp::Yellow);
    EXPECT_EQ(WatchReasons(jammed), "media-jam-error");
    EXPECT_EQ(AlertTexts(WatchAlerts(jammed), ReasonLevel::Error), "papírelakadás");
    EXPECT_EQ(AlertTexts(WatchAlerts(jammed), ReasonLevel::Warning), "Black Toner: 5% (kevés); Waste: 95% (tele)");
    EXPECT_EQ((jammed.says.supplies[0]), (Supply{"Black Toner", "#000000", "toner", 5, 10, 100}));
    EXPECT_EQ(SupplyText(jammed.says.supplies[1]), "Cyan: ismeretlen");
    EXPECT_EQ(jammed.says.supplies[2].colour, "");

    std::ofstream(go).put('\n');
    ASSERT_TRUE(SeenWithin(watcher, 0, "jam cleared, toner changed", [](const WatchState& s) {
        return !HasReason(s, "media-jam-error") && !s.says.supplies.empty() && s.says.supplies[0].level == 80;
    }));
    EXPECT_EQ(WatchLamp(watcher.State(0)), Lamp::Green);
    EXPECT_TRUE(WatchAlerts(watcher.State(0)).empty());
    watcher.CancelSubscriptions();
    EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
}

// The printer behind a queue, with the "watchdevice" key: the watch asks the ippeveprinter a CUPS
// queue prints to, and tells when it is off while the queue looks well; a dnssd:// device is not
// asked, and says so.
TEST(WatcherDevice, SeesThePrinterBehindTheQueueGoAndComeBack)
{
    QUENLO_NEED(test::CupsLab::MissingTools());
    QUENLO_REQUIRE_IPPEVEPRINTER(eve);
    OwnLab lab("");
    lab.Run("add-printer", {"behind", "--device", "ipp://127.0.0.1:" + std::to_string(eve.Port()) + "/ipp/print"});
    lab.Run("add-printer", {"found", "--device", "dnssd://Somewhere._ipp._tcp.local/"});
    PrinterList printers{lab.Entry("behind"), lab.Entry("found")};
    ProxySettings proxy;
    proxy.WatchDevice = 1;
    TWatcher watcher(printers, proxy, 1);
    watcher.Start();
    ASSERT_TRUE(SeenWithin(watcher, 1, "dnssd device", [](const WatchState& s) { return !s.device.empty(); }));
    EXPECT_EQ(watcher.State(1).device, "the printer behind the queue is not asked (dnssd)");
    EXPECT_FALSE(watcher.State(1).deviceDisagrees);
    EXPECT_EQ(WatchLamp(watcher.State(1)), Lamp::Green);
    const std::uint64_t sent = watcher.RequestCount(0);
    test::runFor(2500ms);
    EXPECT_GE(watcher.RequestCount(0), sent + 2) << "the device is asked at every look";
    EXPECT_EQ(watcher.State(0).device, "") << "the printer agrees with its queue";

    eve.KillPrinter();
    ASSERT_TRUE(SeenWithin(watcher, 0, "printer off", [](const WatchState& s) { return s.deviceDisagrees; }));
    EXPECT_EQ(watcher.State(0).device, "CUPS: idle, accepting jobs / the printer: unreachable");
    EXPECT_EQ(WatchLamp(watcher.State(0)), Lamp::Yellow);
    EXPECT_EQ(AlertTexts(WatchAlerts(watcher.State(0)), ReasonLevel::Error), watcher.State(0).device);

    ASSERT_TRUE(eve.RestartPrinter()) << eve.Log();
    ASSERT_TRUE(SeenWithin(watcher, 0, "printer on", [](const WatchState& s) { return !s.deviceDisagrees; }));
    EXPECT_EQ(WatchLamp(watcher.State(0)), Lamp::Green);
    watcher.CancelSubscriptions();
    EXPECT_TRUE(test::runUntil([&] { return !watcher.Busy(); }, 10s));
}

// A server of another make: whatever it offers, the watcher ends up showing its printer, sees it
// go away and come back.
TEST(WatcherIppEvePrinter, ShowsThePrinterSeesItStopAndComeBack)
{
    QUENLO_REQUIRE_IPPEVEPRINTER(eve);
    TAList entry = EntryAt("127.0.0.1:" + std::to_string(eve.Port()), "/ipp/print", "Eve");
    entry.direct = true;  // subscriptions, if any, are asked of the printer itself
    PrinterList printers{entry};
    TWatcher watcher(printers, ProxySettings{}, 1);
    watcher.Start();
    ASSERT_TRUE(SeenWithin(watcher, 0, "ippeveprinter up", [](const WatchState& s) {
        return s.reachable && !s.printer.stateText.empty();
    })) << eve.Log();
    EXPECT_EQ(WatchLine(watcher.State(0), "Eve").rfind("Eve - idle, accepting jobs", 0), 0u)
        << WatchLine(watcher.State(0), "Eve");
    EXPECT_EQ(WatchLamp(watcher.State(0)), Lamp::Green);
    EXPECT_EQ(watcher.State(0).jobs, 0);
    EXPECT_NE(watcher.Mode(0), WatchMode::Subscribing);
    // Its supplies come as printer-supply: the low and high levels are the 10% and 90% it uses.
    const std::vector<Supply>& supplies = watcher.State(0).says.supplies;
    ASSERT_FALSE(supplies.empty());
    for (const Supply& s : supplies) {
        std::cout << "[ watch    ] supply " << SupplyText(s) << " (" << s.type << ", " << s.colour << ")\n";
        EXPECT_FALSE(s.name.empty());
        EXPECT_EQ(IsWasteSupply(s) ? s.high : s.low, IsWasteSupply(s) ? 90 : 10) << s.name;
    }

    eve.KillPrinter();
    EXPECT_TRUE(SeenWithin(watcher, 0, "ippeveprinter gone", [](const WatchState& s) { return !s.reachable; }));
    ASSERT_TRUE(eve.RestartPrinter()) << eve.Log();
    EXPECT_TRUE(SeenWithin(watcher, 0, "ippeveprinter back", [](const WatchState& s) {
        return s.reachable && s.printer.stateText == "idle";
    })) << eve.Log();
}

}  // namespace
}  // namespace quenlo
