// TWatcher: the background watch of every configured printer, switched on by the printers file's
// "watch" key (the seconds between two looks; 0 or less: no watcher is made at all).
//
// The printers of one server and user (host:port, requesting-user-name) share one subscription
// ("ippget" pull, server-wide: see ipp/IppSubscription.h) and one client that carries it; a printer
// asked alone gets an asynchronous HTTP client of its own for that request (never the window's
// HttpCli1, never a blocking wait), all with the entry's credentials and the file's proxy, so a
// slow or dead server delays only its own printers. A server's events name their printer: an event wakes only
// the watched printer it names, events of printers not in the file are skipped. At every look:
//
//   - on a server that offers event subscriptions: once Create-Printer-Subscriptions, then at every
//     look one Get-Notifications for the server, which answers with nothing when nothing has
//     happened; only the printers the events name (or all after the server was unreachable) are
//     read, and every kRecheckLooks-th look all of them whatever the events say (a server tells of
//     some changes only to the other printer: jobs moved away to another queue leave no event of
//     ours). notify-get-interval is read, but the pace stays the user's: a
//     Get-Notifications costs the server little. The subscription is renewed before its lease ends
//     (a few minutes, so a killed program's subscriptions end soon), and made again when the server
//     no longer knows it (after a restart, for example);
//   - a server that refuses the subscription on its root gets one on each printer's own URI (the
//     only case with more than one subscription per server and user); an entry with the `direct`
//     key (the printer itself) subscribes at its own URI anyway;
//   - a server that holds all the subscriptions it takes (client-error-too-many-subscriptions) is
//     looked at, and asked again after kFullServerPause, the pause doubling up to kFullServerPauseMax
//     while it stays full, so that other clients find room when some ends;
//   - where a subscription is refused or not offered: all of them at every look.
//
// Reading printers is the narrow Get-Printer-Attributes (printer-state, printer-is-accepting-jobs,
// printer-state-message, queued-job-count, reasons and supplies) for a single printer, and one
// CUPS-Get-Printers asking for the same attributes for several of a server (where the server offers
// it; else one request each): a server with hundreds of watched queues sees one connection per look,
// not hundreds.
//
// Never the probe GET, and no Get-Jobs unless asked for (ReadQueues): on a long queue those cost the
// server far more. Where queues are read, a printer's queue is asked for (one Get-Jobs of its jobs
// not completed, three attributes a job, over its server's kept connection) only after a look that
// found jobs on it and either a change of the printer or an event that names it; a printer with
// no job costs nothing more.
//
// A look that gets no HTTP answer (connect refused, name lookup, timeout) marks the printer
// unreachable; the next look comes at the same pace. Every request of one printer carries the same
// requesting-user-name (the entry's user, else the login name), because a subscription belongs to
// the user who made it.
//
// With the printers file's "watchdevice" key, the narrow Get-Printer-Attributes also asks for the
// queue's device-uri; where that is ipp:// (the server's own machine only when the server is on this
// one: a loopback device host names the server's machine, not ours), every look also sends the same
// Get-Printer-Attributes to the device itself, on its own connection without credentials or proxy.
// Other schemes (ipps:// included: this client has no TLS) are not asked; WatchState says so for
// those of network printers (dnssd, ipps, lpd, socket, ...).
//
// The life cycle of each subscription is TWatchSubscription's (monitor/WatchSubscription.h, where
// kRecheckLooks, kFullServerPause and the lease are); TWatcher schedules the looks, sends its
// requests and reads the printers.
//
// The entries' passwords (and the proxy's) are found without waiting on the credential store
// (monitor/WatchPasswords.h): a server's look waits until its password is known.
//
// Threads: everything runs on the thread that made the watcher, in its event loop; handlers fire
// from inside it. Nothing here is thread-safe.
#pragma once

#include "config/PrintersFile.h"
#include "ipp/IppRequest.h"
#include "monitor/MonitorView.h"
#include "monitor/WatchPasswords.h"
#include "monitor/WatchState.h"
#include "monitor/WatchSubscription.h"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

class TWatcher {
public:
    // `printers` must outlive the watcher (a watcher looks at each entry as it stands). `seconds`
    // below 1 counts as 1. Nothing is sent before Start.
    TWatcher(const PrinterList& printers, const ProxySettings& proxy, int seconds);
    // Ends running requests without any event; subscriptions are left to their lease (see
    // CancelSubscriptions for a clean end).
    ~TWatcher();
    TWatcher(const TWatcher&) = delete;
    TWatcher& operator=(const TWatcher&) = delete;

    // Asks for the printer's attributes at every look, never for a subscription (a single look
    // costs the server less so). Call before Start.
    void PollOnly();
    // At most `servers` servers asked at the same time, each of the others as soon as one is done
    // (a look at dozens of servers, some of which may never answer). 0, the default: all at once.
    // Call before Start.
    void LimitServersAtOnce(std::size_t servers) noexcept { serversAtOnce_ = servers; }
    // Reads each printer's queue as well (WatchState::queue), as said above. Call before Start.
    void ReadQueues() noexcept { readQueues_ = true; }
    // Looks at every printer at once, then every `seconds`.
    void Start();
    // No further looks; requests under way still end and may still report changes.
    void Stop();
    // Stop, and ask each server to drop the subscriptions of this watcher (Cancel-Subscription).
    // A printer whose request is still under way sends it when that one ends (a subscription it
    // was just being granted included); nothing is reported any more. Busy() tells when all
    // those requests have ended.
    void CancelSubscriptions();
    // True while any request of the watcher is under way.
    bool Busy() const;

    int Seconds() const noexcept { return seconds_; }
    std::size_t Count() const noexcept { return watched_.size(); }
    // The subscriptions, and so the servers asked in one look.
    std::size_t ServerCount() const noexcept { return servers_.size(); }
    const TAList& Printer(std::size_t index) const;
    const WatchState& State(std::size_t index) const;
    WatchMode Mode(std::size_t index) const;
    // Requests sent so far for this printer alone, its device's included (for tests and traces).
    std::uint64_t RequestCount(std::size_t index) const;
    // Looks at this printer that the server's events made due, alone or in the server's list
    // (for tests and traces).
    std::uint64_t EventLookCount(std::size_t index) const;
    // Requests sent so far for the subscription that serves this printer (for tests and traces).
    std::uint64_t ServerRequestCount(std::size_t index) const;
    // Create-Printer-Subscriptions sent so far, all servers together (for tests and traces).
    std::uint64_t SubscribeCount() const noexcept { return subscribes_; }

    // Fired when a look ends with a printer state different from the one before (and at the first
    // look of each printer), after State(index) shows the new state. The handler may read the
    // watcher and call Stop or CancelSubscriptions; it must not destroy the watcher.
    std::function<void(TWatcher& sender, std::size_t index)> OnChange;

private:
    // What the client of a server carries: a request of its subscription, or a look at printers.
    enum class Request : std::uint8_t { None, Subscription, Printers, Attributes, Jobs };
    struct Watched;
    struct Server;

    void Look();
    void LookAtServer(Server& server);
    void LookAtServersGivenPasswords();
    bool CredentialsReady(THttpCli& http, TWatchPasswords::Id password);
    void NoteRefusal(const THttpCli& http, TWatchPasswords::Id password);
    bool Asked(const Server& server) const;
    bool AtServerLimit() const;
    void LookAtWaitingServers();
    Server& AddServer(std::string uri, bool serverWide, Watched& first);
    std::unique_ptr<THttpCli> ClientOf(const Watched& w) const;
    void Carry(Server& server, TWatchStep step);
    void Send(Server& server, Request request, IppMessage body);
    void ServerDone(Server& server, std::uint16_t error);
    void EndWhileCancelling(Server& server, Request request, std::uint16_t error);
    void SubscribeEachPrinter(Server& server);
    void PrintersRead(Server& server, const std::string& body);
    void LookAtAll(Server& server);
    void LookAtDue(Server& server);
    void LookAt(Watched& w);
    IppMessage AttributesRequest(const Watched& w) const;
    void AttributesDone(Watched& w, std::uint16_t error);
    void AttributesAnswered(Watched& w, const THttpCli& http, const std::istringstream& send,
                            const std::ostringstream& reply, std::uint16_t error);
    void Apply(Watched& w, WatchState next, const std::string& deviceUri);
    void NoteQueue(Watched& w, WatchState& next);
    void AskQueue(Server& server);
    void Unreachable(Watched& w);
    void NotTrusted(Watched& w);
    void Report(Watched& w, WatchState next);
    void AskDevice(Watched& w);
    void DeviceDone(Watched& w, std::uint16_t error);
    platform::LRESULT WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM lParam);

    int seconds_;
    ProxySettings proxy_;
    std::vector<std::unique_ptr<Watched>> watched_;
    std::vector<std::unique_ptr<Server>> servers_;
    TWatchPasswords passwords_;
    TWatchPasswords::Id proxyPassword_ = TWatchPasswords::kNone;
    std::uint64_t subscribes_ = 0;
    std::size_t serversAtOnce_ = 0;
    platform::HWND window_ = 0;
    bool running_ = false;
    bool cancelling_ = false;
    bool pollOnly_ = false;
    bool askDevices_ = false;
    bool readQueues_ = false;
};

}  // namespace quenlo
