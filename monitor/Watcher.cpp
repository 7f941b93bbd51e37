#include "monitor/Watcher.h"

#include "ipp/Ipp.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTexts.h"
#include "monitor/WatchDevice.h"
#include "monitor/WatchSubscription.h"
#include "net/HttpProt.h"
#include "net/WSocket.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

namespace quenlo {

namespace {

constexpr unsigned kLookTimer = 1;

// Starts a POST of `body`; false when the client refuses (only a busy one does).
bool StartPost(THttpCli& http, std::istringstream& send, std::ostringstream& reply, std::string body)
{
    send.clear();
    send.str(std::move(body));
    reply.str(std::string());
    http.SetPostStream(&send);
    http.SetReplyStream(&reply);
    try {
        http.StartRequest(hrPost);
        return true;
    } catch (const EHttpException&) {
        return false;
    }
}

// The IPP answer of a finished request: empty unless the status is 200 (only a 200 carries one);
// nothing at all when it names another request than the one sent (a reply that a kept connection
// carried ahead, or one injected into it), which answers nothing that was asked.
std::optional<std::string> AnswerOf(const THttpCli& http, const std::istringstream& send,
                                    const std::ostringstream& reply)
{
    if (http.ReplyStatus() != 200)
        return std::string();
    std::string answer = reply.str();
    const std::string request = send.str();
    constexpr std::size_t kRequestId = 4, kIdEnd = 8;
    if (answer.size() >= kIdEnd && request.size() >= kIdEnd &&
        answer.compare(kRequestId, kIdEnd - kRequestId, request, kRequestId, kIdEnd - kRequestId) != 0)
        return std::nullopt;
    return answer;
}

// What an answer says of one printer: the printer line's attributes, the reasons and supplies, the
// jobs not yet completed, the queue's device.
struct PrinterGroup {
    std::string name;  // printer-name, which tells the queues of a list apart
    PrinterRecord printer;
    PrinterSays says;
    std::int32_t jobs = -1;
    std::string deviceUri;
    std::string makeAndModel, location;
};

// Every printer group of an answer, in order: one for Get-Printer-Attributes, one per queue for
// CUPS-Get-Printers.
std::vector<PrinterGroup> ReadPrinterGroups(std::string_view body)
{
    std::vector<PrinterGroup> groups;
    PrinterSaysReader says;
    bool inGroup = false;
    auto endGroup = [&] {
        if (inGroup)
            groups.back().says = says.Result();
        inGroup = false;
    };
    WalkResponse(body, kIppPrinterWalkDelimiterLimit,
                 [&](const IppAttribute& a) {
                     if (!inGroup)
                         return;
                     PrinterGroup& g = groups.back();
                     ApplyPrinterAttribute(g.printer, a);
                     says.Apply(a);
                     if (a.name == "device-uri")
                         g.deviceUri.assign(a.text);
                     else if (a.name == "printer-name")
                         g.name.assign(a.text);
                     else if (a.name == "queued-job-count")
                         g.jobs = a.integer;
                     else if (a.name == "printer-make-and-model")
                         g.makeAndModel.assign(a.text);
                     else if (a.name == "printer-location")
                         g.location.assign(a.text);
                 },
                 [&](int tag) {
                     endGroup();
                     if (tag == kIppTagPrinterAttributes) {
                         groups.emplace_back();
                         says = PrinterSaysReader();
                         inGroup = true;
                     }
                 });
    endGroup();
    return groups;
}

WatchState StateOf(const PrinterGroup& group)
{
    WatchState state;
    state.reachable = true;
    state.printer = group.printer;
    state.says = group.says;
    state.jobs = group.jobs;
    state.makeAndModel = group.makeAndModel;
    state.location = group.location;
    return state;
}

// The queue name of a server's printer path ("/printers/NAME"); empty for any other path (a class
// is not in the server's list of printers).
std::string_view QueueName(std::string_view path)
{
    constexpr std::string_view prefix = "/printers/";
    if (path.substr(0, prefix.size()) != prefix)
        return {};
    path.remove_prefix(prefix.size());
    return path.substr(0, path.find_first_of("/?#"));
}

// The name the server files our subscriptions under when the entry names no user.
std::string LoginName()
{
    for (const char* variable : {"USER", "LOGNAME", "USERNAME"}) {
        const char* v = std::getenv(variable);
        if (v != nullptr && *v != '\0')
            return v;
    }
    return "anonymous";
}

}  // namespace

// ---------------------------------------------------------------------------------------------

// One printer of the file.
struct TWatcher::Watched {
    const TAList* entry = nullptr;
    std::size_t index = 0;
    std::string url;
    std::string user;
    Server* server = nullptr;  // whose subscription brings this printer's events
    std::unique_ptr<THttpCli> http;  // its attributes asked alone; dropped at the look after
    std::istringstream send;
    std::ostringstream reply;
    bool running = false;
    bool needLook = true;  // the printer's attributes are due whatever the events say
    bool eventNamed = false;  // an event named the printer since its last look
    bool needQueue = false;   // its queue is to be read (ReadQueues)
    bool passwordPlain = false;  // its password went in plain HTTP (see WatchState)
    TWatchPasswords::Id password = TWatchPasswords::kNone;
    std::uint64_t requests = 0;
    std::uint64_t eventLooks = 0;
    WatchState state;
    // The printer behind the queue ("watchdevice"): its own client, asked at every look.
    DeviceLook device;
    std::unique_ptr<THttpCli> deviceHttp;
    std::istringstream deviceSend;
    std::ostringstream deviceReply;
    bool deviceRunning = false;
};

// One subscription and the client that carries its requests: a server and user for all their
// printers, or a single printer (a direct entry, or a server that refuses subscriptions on its root).
struct TWatcher::Server {
    explicit Server(TWatchSubscription s) : subscription(std::move(s)) {}

    TWatchSubscription subscription;
    std::vector<Watched*> printers;  // empty once its printers went to subscriptions of their own
    std::unique_ptr<THttpCli> http;
    std::istringstream send;
    std::ostringstream reply;
    Request running = Request::None;
    bool waiting = false;  // its look waits for room among the servers asked at once
    bool waitsForPassword = false;  // its look waits for its password to be found
    TWatchPasswords::Id password = TWatchPasswords::kNone;  // its first printer's
    Watched* asked = nullptr;  // the printer whose attributes the running Request::Attributes asks
    bool listsPrinters = true;  // offers CUPS-Get-Printers (until it refuses it)
    std::uint64_t requests = 0;
};

TWatcher::TWatcher(const PrinterList& printers, const ProxySettings& proxy, int seconds)
    : seconds_(std::max(seconds, 1)), proxy_(proxy), askDevices_(proxy.WatchDevice > 0)
{
    if (!proxy.Proxy.empty())
        proxyPassword_ = passwords_.Add(ProxyServer(proxy), proxy.ProxyUsername, proxy.ProxyPassword);
    passwords_.OnFound = [this] { LookAtServersGivenPasswords(); };
    for (const TAList& entry : printers) {
        auto w = std::make_unique<Watched>();
        w->entry = &entry;
        w->password = passwords_.Add(entry.remotehost, entry.user, entry.pass);
        w->index = watched_.size();
        w->url = PrinterUrl(entry);
        w->user = entry.user.empty() ? LoginName() : entry.user;
        Watched* raw = w.get();
        // A printer of its own takes subscriptions at its own URI; a server's printers share one
        // at its root.
        const std::string serverUri = entry.direct ? w->url : "http://" + entry.remotehost + "/";
        auto shared = std::find_if(servers_.begin(), servers_.end(), [&](const auto& s) {
            return !entry.direct && s->subscription.ServerWide() && s->subscription.Uri() == serverUri &&
                   s->subscription.User() == raw->user;
        });
        if (shared != servers_.end()) {
            (*shared)->printers.push_back(raw);
            raw->server = shared->get();
        } else {
            AddServer(serverUri, !entry.direct, *raw);
        }
        watched_.push_back(std::move(w));
    }
    window_ = platform::CreateMessageTarget(
        [this](platform::HWND, unsigned message, platform::WPARAM wParam, platform::LPARAM lParam) {
            return WindowProc(message, wParam, lParam);
        });
}

TWatcher::~TWatcher()
{
    platform::DestroyMessageTarget(window_);
    for (auto& s : servers_)
        s->http->OnRequestDone = nullptr;
    for (auto& w : watched_) {
        if (w->http)
            w->http->OnRequestDone = nullptr;
        if (w->deviceHttp)
            w->deviceHttp->OnRequestDone = nullptr;
    }
}

// The server's client speaks with the credentials of its first printer's entry (all its printers
// have the same user) and posts to that printer's URL, where the server's policy expects them.
TWatcher::Server& TWatcher::AddServer(std::string uri, bool serverWide, Watched& first)
{
    auto server = std::make_unique<Server>(
        TWatchSubscription(std::move(uri), first.user, serverWide, pollOnly_, std::chrono::seconds(seconds_)));
    server->printers.push_back(&first);
    server->password = first.password;
    server->http = ClientOf(first);
    // Its requests come every interval: one connection carries them, and one idle for two
    // intervals (the server's looks were skipped) is closed, since it holds a slot of the server's.
    server->http->SetKeepAlive(std::chrono::seconds(2 * seconds_));
    Server* raw = server.get();
    server->http->OnRequestDone = [this, raw](THttpCli& http, THttpRequest, std::uint16_t error) {
        NoteRefusal(http, raw->password);
        ServerDone(*raw, error);
        AskQueue(*raw);
        LookAtWaitingServers();
    };
    first.server = raw;
    servers_.push_back(std::move(server));
    return *raw;
}

// A client that speaks for the printer's entry: its user, encryption and the file's proxy. The
// passwords go on before each look (CredentialsReady).
std::unique_ptr<THttpCli> TWatcher::ClientOf(const Watched& w) const
{
    auto http = std::make_unique<THttpCli>();
    ApplyHttpCli1Design(*http);
    ApplyProxyRoute(*http, proxy_);
    http->SetURL(w.url);
    http->SetEncryption(EncryptionOf(*w.entry));
    http->SetUsername(w.entry->user);
    // A look that makes no progress for a whole interval is given up: the next one is due.
    http->SetNoProgressTimeout(std::chrono::seconds(std::max(seconds_, 2)));
    return http;
}

void TWatcher::PollOnly()
{
    pollOnly_ = true;
    for (auto& s : servers_)
        s->subscription.PollOnly();
}

void TWatcher::Start()
{
    running_ = true;
    platform::SetTimer(window_, kLookTimer, static_cast<unsigned>(seconds_) * 1000u);
    Look();
}

void TWatcher::Stop()
{
    running_ = false;
    platform::KillTimer(window_, kLookTimer);
}

void TWatcher::CancelSubscriptions()
{
    Stop();
    cancelling_ = true;
    // A server with a request under way cancels when that one ends (ServerDone).
    for (std::size_t i = 0; i < servers_.size(); ++i) {
        Server& s = *servers_[i];
        if (s.running == Request::None)
            Carry(s, s.subscription.Cancel());
    }
}

const TAList& TWatcher::Printer(std::size_t index) const { return *watched_.at(index)->entry; }
const WatchState& TWatcher::State(std::size_t index) const { return watched_.at(index)->state; }
WatchMode TWatcher::Mode(std::size_t index) const { return watched_.at(index)->server->subscription.Mode(); }
std::uint64_t TWatcher::RequestCount(std::size_t index) const { return watched_.at(index)->requests; }
std::uint64_t TWatcher::EventLookCount(std::size_t index) const { return watched_.at(index)->eventLooks; }
std::uint64_t TWatcher::ServerRequestCount(std::size_t index) const { return watched_.at(index)->server->requests; }

bool TWatcher::Busy() const
{
    return std::any_of(servers_.begin(), servers_.end(), [](const auto& s) { return s->running != Request::None; }) ||
           std::any_of(watched_.begin(), watched_.end(), [](const auto& w) { return w->running || w->deviceRunning; });
}

platform::LRESULT TWatcher::WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM)
{
    if (message == platform::WM_TIMER && wParam == kLookTimer && running_)
        Look();
    return 0;
}

void TWatcher::Look()
{
    // A server or printer still busy with its previous look (a slow server) is not asked twice.
    // Indexes, not iterators: a server may hand its printers to new subscriptions meanwhile.
    for (std::size_t i = 0; i < servers_.size(); ++i)
        LookAtServer(*servers_[i]);
    for (auto& w : watched_) {
        if (!w->running)
            w->http.reset();
        if (!w->deviceRunning)
            AskDevice(*w);
    }
}

void TWatcher::LookAtServer(Server& s)
{
    if (s.running != Request::None || s.printers.empty())
        return;
    s.waitsForPassword = !CredentialsReady(*s.http, s.password);
    if (s.waitsForPassword)
        return;
    if (AtServerLimit())
        s.waiting = true;
    else
        Carry(s, s.subscription.Look(std::chrono::steady_clock::now()));
}

// The look a server skipped for want of its password comes as soon as the password is known.
void TWatcher::LookAtServersGivenPasswords()
{
    for (std::size_t i = 0; i < servers_.size() && running_ && !cancelling_; ++i)
        if (servers_[i]->waitsForPassword)
            LookAtServer(*servers_[i]);
}

// Puts the passwords on the client; false while one of them is still being found.
bool TWatcher::CredentialsReady(THttpCli& http, TWatchPasswords::Id password)
{
    const std::string* own = passwords_.Find(password);
    const std::string* proxy = passwords_.Find(proxyPassword_);
    if (own == nullptr || proxy == nullptr)
        return false;
    if (password != TWatchPasswords::kNone)
        http.SetPassword(*own);
    if (proxyPassword_ != TWatchPasswords::kNone)
        http.SetProxyPassword(*proxy);
    return true;
}

void TWatcher::NoteRefusal(const THttpCli& http, TWatchPasswords::Id password)
{
    if (http.ReplyStatus() == 401)
        passwords_.Refused(password);
    else if (http.ReplyStatus() == 407)
        passwords_.Refused(proxyPassword_);
}

// A server is asked while a request of its own or of one of its printers is under way.
bool TWatcher::Asked(const Server& s) const
{
    return s.running != Request::None ||
           std::any_of(s.printers.begin(), s.printers.end(), [](const Watched* w) { return w->running; });
}

bool TWatcher::AtServerLimit() const
{
    return serversAtOnce_ != 0 &&
           static_cast<std::size_t>(std::count_if(servers_.begin(), servers_.end(), [this](const auto& s) {
               return Asked(*s);
           })) >= serversAtOnce_;
}

// A request has ended: the servers whose look waited for room take its place, in the file's order.
void TWatcher::LookAtWaitingServers()
{
    for (std::size_t i = 0; i < servers_.size() && !cancelling_; ++i) {
        Server& s = *servers_[i];
        if (!s.waiting)
            continue;
        if (AtServerLimit())
            return;
        s.waiting = false;
        if (s.running == Request::None && !s.printers.empty())
            Carry(s, s.subscription.Look(std::chrono::steady_clock::now()));
    }
}

// Carries out what the subscription asks for.
void TWatcher::Carry(Server& s, TWatchStep step)
{
    switch (step.kind) {
    case TWatchStep::Idle:
        return;
    case TWatchStep::Send:
        if (step.request == WatchRequest::Subscribe)
            ++subscribes_;
        Send(s, Request::Subscription, std::move(step.body));
        return;
    case TWatchStep::LookAtAll:
        LookAtAll(s);
        return;
    case TWatchStep::LookAtNamed:
        for (Watched* w : s.printers)
            if (step.events.Concerns(SplitUrl(w->url, TUrlStart::SchemeOrHost).Target()))
                w->needLook = w->eventNamed = true;
        for (Watched* w : s.printers)
            w->eventLooks += w->needLook ? 1 : 0;
        LookAtDue(s);
        return;
    case TWatchStep::SubscribeEach:
        SubscribeEachPrinter(s);
        return;
    }
}

void TWatcher::Send(Server& s, Request request, IppMessage body)
{
    s.running = request;
    // A printer's own look counts as the printer's request, wherever it goes.
    if (request != Request::Attributes)
        ++s.requests;
    // Only a busy client refuses, and ours is never busy here; the next look tries again.
    if (!StartPost(*s.http, s.send, s.reply, std::move(body))) {
        s.running = Request::None;
        Watched* const asked = std::exchange(s.asked, nullptr);
        if (asked != nullptr && request == Request::Attributes)
            asked->running = false;
    }
}

IppMessage TWatcher::AttributesRequest(const Watched& w) const
{
    return askDevices_ ? BuildWatchPrinterAttributesRequest(w.url, w.user, {"device-uri"})
                       : BuildWatchPrinterAttributesRequest(w.url, w.user);
}

void TWatcher::LookAt(Watched& w)
{
    if (w.running)
        return;
    // Made for the request and dropped at the next look: most looks read a server's printers in one
    // list, and the buffers of hundreds of idle clients would be most of the watch's memory.
    if (!w.http) {
        w.http = ClientOf(w);
        Watched* raw = &w;
        w.http->OnRequestDone = [this, raw](THttpCli& http, THttpRequest, std::uint16_t error) {
            NoteRefusal(http, raw->password);
            AttributesDone(*raw, error);
            AskQueue(*raw->server);
            LookAtWaitingServers();
        };
    }
    // A printer whose password is still being found is looked at in a later look.
    if (!CredentialsReady(*w.http, w.password))
        return;
    w.running = true;
    ++w.requests;
    if (!StartPost(*w.http, w.send, w.reply, AttributesRequest(w)))
        w.running = false;
}

void TWatcher::LookAtAll(Server& s)
{
    for (Watched* w : s.printers)
        w->needLook = true;
    LookAtDue(s);
}

// Several printers of a server are read in one CUPS-Get-Printers where the server offers it: a
// request per printer would cost a server of hundreds of queues hundreds of connections at every
// look. A single one is asked alone, which costs less than listing every queue of the server.
void TWatcher::LookAtDue(Server& s)
{
    const auto due = std::count_if(s.printers.begin(), s.printers.end(), [](const Watched* w) { return w->needLook; });
    if (due > 1 && s.subscription.ServerWide() && s.listsPrinters && s.running == Request::None) {
        const std::string& uri = s.subscription.Uri();
        const std::string& user = s.subscription.User();
        Send(s, Request::Printers,
             askDevices_ ? BuildWatchPrinterListRequest(uri, user, {"device-uri"}) : BuildWatchPrinterListRequest(uri, user));
        return;
    }
    // One printer alone goes over the server's kept connection as well: over TLS a connection of
    // its own would cost the server a handshake at every look.
    if (due == 1 && s.running == Request::None) {
        Watched& w = **std::find_if(s.printers.begin(), s.printers.end(), [](const Watched* p) { return p->needLook; });
        if (w.running)
            return;
        w.running = true;
        ++w.requests;
        s.asked = &w;
        Send(s, Request::Attributes, AttributesRequest(w));
        return;
    }
    for (Watched* w : s.printers)
        if (w->needLook)
            LookAt(*w);
}

void TWatcher::ServerDone(Server& s, std::uint16_t error)
{
    const Request request = s.running;
    s.running = Request::None;
    s.http->SetPostStream(nullptr);
    s.http->SetReplyStream(nullptr);
    Watched* const asked = std::exchange(s.asked, nullptr);
    if (asked != nullptr && request == Request::Attributes)
        asked->running = false;
    if (cancelling_) {
        EndWhileCancelling(s, request, error);
        return;
    }
    if (request == Request::None)
        return;
    if (request == Request::Jobs) {
        const std::optional<std::string> answer = error == 0 ? AnswerOf(*s.http, s.send, s.reply) : std::nullopt;
        if (asked != nullptr)
            asked->state.queue = answer ? ReadQueueJobs(*answer, std::chrono::steady_clock::now()) : QueueJobs{};
        return;
    }
    if (request == Request::Attributes) {
        if (asked != nullptr)
            AttributesAnswered(*asked, *s.http, s.send, s.reply, error);
        return;
    }
    if (s.http->CredentialsWentPlain())
        for (Watched* w : s.printers)
            w->passwordPlain = true;
    // Any error means no answer from the server: the socket's numbers, a timeout, or a server that
    // closed without a word. An HTTP error status is an answer (the server is there).
    const std::optional<std::string> answer = AnswerOf(*s.http, s.send, s.reply);
    if (error != 0 || !answer) {
        for (Watched* w : s.printers)
            if (error == HttpError::CertificateRefused)
                NotTrusted(*w);
            else
                Unreachable(*w);
        return;
    }
    // Anything but a 200 reads as an empty answer (not walked).
    if (request == Request::Printers)
        PrintersRead(s, *answer);
    else
        Carry(s, s.subscription.Answered(*answer, std::chrono::steady_clock::now()));
}

void TWatcher::EndWhileCancelling(Server& s, Request request, std::uint16_t error)
{
    if (request != Request::Subscription) {
        Carry(s, s.subscription.Cancel());
        return;
    }
    std::optional<std::string_view> answer;
    const std::string reply = s.reply.str();
    if (error == 0)
        answer = s.http->ReplyStatus() == 200 ? std::string_view(reply) : std::string_view();
    Carry(s, s.subscription.EndedWhileCancelling(answer));
}

// A server that refuses a subscription on its root may still grant one on each printer.
void TWatcher::SubscribeEachPrinter(Server& s)
{
    const std::vector<Watched*> printers = std::move(s.printers);
    s.printers.clear();
    for (Watched* w : printers) {
        Server& own = AddServer(w->url, false, *w);
        Carry(own, own.subscription.Subscribe());
    }
}

void TWatcher::PrintersRead(Server& s, const std::string& body)
{
    const IppAnswerStatus status = ReadAnswerStatus(body);
    if (!status.Succeeded()) {
        s.listsPrinters = false;
        LookAtAll(s);
        return;
    }
    const std::vector<PrinterGroup> groups = ReadPrinterGroups(body);
    for (Watched* w : s.printers) {
        const std::string path = SplitUrl(w->url, TUrlStart::SchemeOrHost).Target();
        const std::string_view queue = QueueName(path);
        const auto group = std::find_if(groups.begin(), groups.end(), [queue](const PrinterGroup& g) {
            return !queue.empty() && platform::AsciiEqualIgnoringCase(g.name, queue);
        });
        // A class, or a queue the server does not list: its own request tells what it is.
        if (group == groups.end())
            LookAt(*w);
        else if (!w->running)
            Apply(*w, StateOf(*group), group->deviceUri);
    }
}

void TWatcher::AttributesDone(Watched& w, std::uint16_t error)
{
    w.running = false;
    w.http->SetPostStream(nullptr);
    w.http->SetReplyStream(nullptr);
    if (cancelling_)
        return;
    AttributesAnswered(w, *w.http, w.send, w.reply, error);
}

// The end of a look at one printer, over its own client or its server's.
void TWatcher::AttributesAnswered(Watched& w, const THttpCli& http, const std::istringstream& send,
                                  const std::ostringstream& reply, std::uint16_t error)
{
    w.passwordPlain = w.passwordPlain || http.CredentialsWentPlain();
    if (error == HttpError::CertificateRefused) {
        NotTrusted(w);
        return;
    }
    const std::optional<std::string> answer = AnswerOf(http, send, reply);
    if (error != 0 || !answer) {
        Unreachable(w);
        return;
    }
    const std::string& body = *answer;
    const IppAnswerStatus status = ReadAnswerStatus(body);
    if (status.Succeeded()) {
        const std::vector<PrinterGroup> groups = ReadPrinterGroups(body);
        const PrinterGroup group = groups.empty() ? PrinterGroup{} : groups.front();
        Apply(w, StateOf(group), group.deviceUri);
        return;
    }
    WatchState next;
    next.reachable = true;
    // The watch never asks for a password; it says that one is wanted, and the window asks when
    // the user opens the printer.
    next.refusal = texts::SaysNoSuchPrinter(status)   ? std::string(texts::kNoPrintersSuffix)
                   : http.ReplyStatus() == 401 ? std::string(texts::kNeedsPasswordSuffix)
                                               : texts::IppFailureSuffix(status, http.ReplyStatus());
    JudgeDevice(w.device, next);
    w.needLook = false;
    Report(w, std::move(next));
}

void TWatcher::Apply(Watched& w, WatchState next, const std::string& deviceUri)
{
    if (askDevices_ && deviceUri != w.device.uri) {
        w.device.uri = deviceUri;
        w.device.target = w.device.uri.empty() ? DeviceTarget{} : TargetOf(w.device.uri, w.entry->remotehost);
        w.device.looked = false;
    }
    JudgeDevice(w.device, next);
    w.needLook = false;
    if (readQueues_)
        NoteQueue(w, next);
    // What the printer is and where change no printer line: kept without a report.
    std::string makeAndModel = next.makeAndModel, location = next.location;
    Report(w, std::move(next));
    w.state.makeAndModel = std::move(makeAndModel);
    w.state.location = std::move(location);
}

// A queue known to be empty needs no request; one with jobs is read again when the look found the
// printer changed or came from an event about it (a job moved between states), else it stands.
void TWatcher::NoteQueue(Watched& w, WatchState& next)
{
    const bool named = std::exchange(w.eventNamed, false);
    if (next.jobs == 0) {
        w.needQueue = false;
        next.queue = QueueJobs{};
        next.queue.known = true;
        w.state.queue = next.queue;
        return;
    }
    next.queue = w.state.queue;
    next.passwordPlain = w.passwordPlain;  // as Report compares it
    w.needQueue = named || !next.queue.known || !w.state.looked || !w.state.SameAs(next);
}

// One queue at a time, over the server's kept connection, when it has nothing else to carry.
void TWatcher::AskQueue(Server& s)
{
    if (!readQueues_ || cancelling_ || s.running != Request::None)
        return;
    const auto due = std::find_if(s.printers.begin(), s.printers.end(), [](const Watched* w) { return w->needQueue; });
    if (due == s.printers.end())
        return;
    Watched& w = **due;
    w.needQueue = false;
    ++w.requests;
    s.asked = &w;
    Send(s, Request::Jobs, BuildWatchJobsRequest(w.url, w.user));
}

void TWatcher::Unreachable(Watched& w)
{
    w.needLook = true;
    // A server that refused subscriptions may be another one when it is back; one that was full
    // waits for its pause.
    Server& s = *w.server;
    if (s.running == Request::None)
        s.subscription.Unreachable();
    Report(w, WatchState{});
}

// The server is there, but its certificate is not the one kept: shown as a refusal, so the
// printer line says why until the user accepts the new certificate.
void TWatcher::NotTrusted(Watched& w)
{
    w.needLook = true;
    WatchState next;
    next.reachable = true;
    next.refusal = texts::kWatchNotTrusted;
    Report(w, next);
}

void TWatcher::AskDevice(Watched& w)
{
    if (!askDevices_ || w.device.target.url.empty() || cancelling_)
        return;
    if (!w.deviceHttp) {
        w.deviceHttp = std::make_unique<THttpCli>();
        ApplyHttpCli1Design(*w.deviceHttp);
        w.deviceHttp->SetNoProgressTimeout(std::chrono::seconds(std::max(seconds_, 2)));
        Watched* raw = &w;
        w.deviceHttp->OnRequestDone = [this, raw](THttpCli&, THttpRequest, std::uint16_t error) {
            DeviceDone(*raw, error);
        };
    }
    w.deviceHttp->SetURL(w.device.target.url);
    w.deviceRunning = true;
    ++w.requests;
    if (!StartPost(*w.deviceHttp, w.deviceSend, w.deviceReply,
                   BuildWatchPrinterAttributesRequest(w.device.target.url, w.user)))
        w.deviceRunning = false;
}

void TWatcher::DeviceDone(Watched& w, std::uint16_t error)
{
    w.deviceRunning = false;
    w.deviceHttp->SetPostStream(nullptr);
    w.deviceHttp->SetReplyStream(nullptr);
    w.device.looked = true;
    w.device.reachable = error == 0;
    w.device.printer = {};
    const bool answered = w.device.reachable && w.deviceHttp->ReplyStatus() == 200;
    const std::vector<PrinterGroup> groups = ReadPrinterGroups(answered ? w.deviceReply.str() : std::string());
    w.device.says = groups.empty() ? PrinterSays{} : groups.front().says;
    w.device.printer = groups.empty() ? PrinterRecord{} : groups.front().printer;
    if (cancelling_ || !w.state.looked || !w.state.reachable)
        return;
    WatchState next = w.state;
    JudgeDevice(w.device, next);
    Report(w, std::move(next));
}

void TWatcher::Report(Watched& w, WatchState next)
{
    const auto now = std::chrono::system_clock::now();
    w.state.lookedAt = now;
    next.passwordPlain = w.passwordPlain;
    // What the printer is and where outlast the looks that do not show it.
    if (!next.reachable || !next.refusal.empty()) {
        next.makeAndModel = w.state.makeAndModel;
        next.location = w.state.location;
    }
    if (w.state.looked && w.state.SameAs(next))
        return;
    next.looked = true;
    next.changedAt = now;
    next.lookedAt = now;
    w.state = std::move(next);
    if (OnChange)
        OnChange(*this, w.index);
}

}  // namespace quenlo
