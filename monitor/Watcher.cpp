#include "monitor/Watcher.h"

#include "ipp/Ipp.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTexts.h"
#include "net/WSocket.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace quenlo {

namespace {

constexpr unsigned kLookTimer = 1;

bool LoopbackHost(std::string_view host)
{
    return host == "localhost" || host.substr(0, 4) == "127." || host == "[::1]";
}

// "host" of "host:port", "[v6]" of "[v6]:port".
std::string_view HostOf(std::string_view hostPort)
{
    if (!hostPort.empty() && hostPort.front() == '[')
        return hostPort.substr(0, hostPort.find(']') + 1);
    return hostPort.substr(0, hostPort.find(':'));
}

// Where the device of a queue is asked: its URL, or an empty one and the reason.
struct DeviceTarget {
    std::string url;
    std::string note;
};

// Devices on the network that are not asked; a local one (file, usb, ...) has no one to ask.
bool NetworkScheme(std::string_view scheme)
{
    for (const std::string_view s : {"dnssd", "ipps", "http", "https", "lpd", "socket", "smb", "mdns"})
        if (s == scheme)
            return true;
    return false;
}

DeviceTarget TargetOf(std::string_view deviceUri, std::string_view serverHostPort)
{
    const std::string_view scheme = deviceUri.substr(0, deviceUri.find(':'));
    const std::size_t schemeEnd = deviceUri.find("://");
    if (schemeEnd == std::string_view::npos || scheme != "ipp")
        return {{}, NetworkScheme(scheme) ? texts::kDeviceNotAsked + std::string(scheme) + ")" : std::string()};
    std::string_view rest = deviceUri.substr(schemeEnd + 3);
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string_view hostPort = rest.substr(0, rest.find('/'));
    const std::string_view path = rest.substr(hostPort.size());
    if (const std::size_t at = hostPort.rfind('@'); at != std::string_view::npos)
        hostPort.remove_prefix(at + 1);
    if (LoopbackHost(HostOf(hostPort)) && !LoopbackHost(HostOf(serverHostPort)))
        return {{}, texts::kDeviceOnServer};
    std::string url = "http://" + std::string(hostPort);
    if (HostOf(hostPort).size() == hostPort.size())
        url += ":631";
    return {url + (path.empty() ? std::string("/") : std::string(path)), {}};
}

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

// The printer line's attributes, the reasons and supplies, and the device-uri of an answer.
PrinterSays ReadPrinterAnswer(std::string_view body, PrinterRecord& printer, std::string* deviceUri = nullptr)
{
    PrinterSaysReader says;
    WalkResponse(body, kIppPrinterWalkDelimiterLimit,
                 [&](const IppAttribute& a) {
                     ApplyPrinterAttribute(printer, a);
                     says.Apply(a);
                     if (deviceUri != nullptr && a.name == "device-uri")
                         deviceUri->assign(a.text);
                 },
                 {});
    return says.Result();
}

bool HasError(const PrinterSays& says)
{
    return std::any_of(says.reasons.begin(), says.reasons.end(),
                       [](const std::string& r) { return LevelOfReason(r) == ReasonLevel::Error; });
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

bool SameRecord(const PrinterRecord& a, const PrinterRecord& b)
{
    return a.stateText == b.stateText && a.acceptingText == b.acceptingText && a.stateMessage == b.stateMessage;
}

}  // namespace

bool WatchState::SameAs(const WatchState& other) const
{
    return reachable == other.reachable && SameRecord(printer, other.printer) && refusal == other.refusal &&
           jobs == other.jobs && says == other.says && device == other.device &&
           deviceDisagrees == other.deviceDisagrees;
}

Lamp WatchLamp(const WatchState& state)
{
    if (!state.looked || !state.reachable)
        return Lamp::Red;
    if (!state.refusal.empty())
        return Lamp::Yellow;
    const Lamp lamp = PrinterStatusText(state.printer, "").lamp;
    const bool error = HasError(state.says) || state.deviceDisagrees;
    return error && lamp == Lamp::Green ? Lamp::Yellow : lamp;
}

std::vector<PrinterAlert> WatchAlerts(const WatchState& state)
{
    if (!state.looked || !state.reachable)
        return {};
    std::vector<PrinterAlert> alerts = AlertsOf(state.says);
    if (state.deviceDisagrees)
        alerts.insert(alerts.begin(), PrinterAlert{"device", state.device, ReasonLevel::Error});
    return alerts;
}

std::string WatchReasons(const WatchState& state)
{
    if (!state.looked || !state.reachable)
        return {};
    std::string text;
    for (const std::string& reason : state.says.reasons)
        text += (text.empty() ? "" : ",") + reason;
    return text.empty() ? "none" : text;
}

std::string WatchLine(const WatchState& state, std::string_view printerName)
{
    if (!state.looked || !state.reachable)
        return std::string(printerName) + texts::kUnknownSuffix;
    if (!state.refusal.empty())
        return std::string(printerName) + state.refusal;
    return PrinterStatusText(state.printer, printerName).line;
}

const char* to_string(WatchMode mode) noexcept
{
    switch (mode) {
    case WatchMode::Subscribing: return "subscribing";
    case WatchMode::Events: return "events";
    case WatchMode::Polling: return "polling";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------

struct TWatcher::Watched {
    const TAList* entry = nullptr;
    std::size_t index = 0;
    std::string url;
    std::string serverUri;  // the target of the subscription requests
    std::string user;
    std::unique_ptr<THttpCli> http;
    std::istringstream send;
    std::ostringstream reply;
    Request running = Request::None;
    WatchMode mode = WatchMode::Subscribing;
    std::int32_t subscriptionId = 0;
    std::int32_t nextSequence = 1;
    bool leaseEnds = false;
    std::chrono::steady_clock::time_point renewAt{};
    bool needLook = true;  // the printer's attributes are due whatever the events say
    int quietLooks = 0;    // looks on events since the attributes were last read
    std::uint64_t requests = 0;
    WatchState state;
    // The printer behind the queue ("watchdevice"): its own client, asked at every look.
    std::string deviceUri;
    DeviceTarget device;
    std::unique_ptr<THttpCli> deviceHttp;
    std::istringstream deviceSend;
    std::ostringstream deviceReply;
    bool deviceRunning = false;
    bool deviceLooked = false;
    bool deviceReachable = false;
    PrinterRecord devicePrinter;
    PrinterSays deviceSays;
};

TWatcher::TWatcher(const PrinterList& printers, const ProxySettings& proxy, int seconds)
    : seconds_(std::max(seconds, 1)), askDevices_(proxy.WatchDevice > 0)
{
    for (const TAList& entry : printers) {
        auto w = std::make_unique<Watched>();
        w->entry = &entry;
        w->index = watched_.size();
        w->url = PrinterUrl(entry);
        // A printer of its own takes subscriptions at its own URI; a CUPS server at its root.
        w->serverUri = entry.direct ? w->url : "http://" + entry.remotehost + "/";
        w->user = entry.user.empty() ? LoginName() : entry.user;
        w->http = std::make_unique<THttpCli>();
        THttpCli& http = *w->http;
        ApplyHttpCli1Design(http);
        ApplyProxySettings(http, proxy);
        http.SetURL(w->url);
        http.SetEncryption(EncryptionOf(entry));
        if (!entry.user.empty()) {
            http.SetUsername(entry.user);
            http.SetPassword(entry.pass);
        }
        // A look that makes no progress for a whole interval is given up: the next one is due.
        http.SetNoProgressTimeout(std::chrono::seconds(std::max(seconds_, 2)));
        Watched* raw = w.get();
        http.OnRequestDone = [this, raw](THttpCli&, THttpRequest, std::uint16_t error) { RequestDone(*raw, error); };
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
    for (auto& w : watched_) {
        w->http->OnRequestDone = nullptr;
        if (w->deviceHttp)
            w->deviceHttp->OnRequestDone = nullptr;
    }
}

void TWatcher::PollOnly()
{
    pollOnly_ = true;
    for (auto& w : watched_)
        w->mode = WatchMode::Polling;
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
    // A printer with a request under way cancels when that one ends (EndWhileCancelling).
    for (auto& w : watched_) {
        if (w->running == Request::None && w->subscriptionId > 0)
            Send(*w, Request::Cancel);
    }
}

const TAList& TWatcher::Printer(std::size_t index) const { return *watched_.at(index)->entry; }
const WatchState& TWatcher::State(std::size_t index) const { return watched_.at(index)->state; }
WatchMode TWatcher::Mode(std::size_t index) const { return watched_.at(index)->mode; }
std::uint64_t TWatcher::RequestCount(std::size_t index) const { return watched_.at(index)->requests; }

bool TWatcher::Busy() const
{
    return std::any_of(watched_.begin(), watched_.end(),
                       [](const auto& w) { return w->running != Request::None || w->deviceRunning; });
}

platform::LRESULT TWatcher::WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM)
{
    if (message == platform::WM_TIMER && wParam == kLookTimer && running_)
        Look();
    return 0;
}

void TWatcher::Look()
{
    // A printer still busy with its previous look (a slow server) is not asked twice.
    for (auto& w : watched_) {
        if (w->running == Request::None)
            Begin(*w);
        if (!w->deviceRunning)
            AskDevice(*w);
    }
}

void TWatcher::Begin(Watched& w)
{
    switch (w.mode) {
    case WatchMode::Subscribing:
        Send(w, Request::Subscribe);
        return;
    case WatchMode::Events:
        if (++w.quietLooks >= kRecheckLooks)
            w.needLook = true;
        if (w.leaseEnds && std::chrono::steady_clock::now() >= w.renewAt)
            Send(w, Request::Renew);
        else
            Send(w, Request::Notifications);
        return;
    case WatchMode::Polling:
        Send(w, Request::Attributes);
        return;
    }
}

void TWatcher::Send(Watched& w, Request request)
{
    IppMessage body;
    switch (request) {
    case Request::Subscribe:
        body = BuildCreatePrinterSubscriptionsRequest(w.serverUri, w.user, kLeaseSeconds);
        break;
    case Request::Renew:
        body = BuildRenewSubscriptionRequest(w.serverUri, w.user, w.subscriptionId, kLeaseSeconds);
        break;
    case Request::Notifications:
        body = BuildGetNotificationsRequest(w.serverUri, w.user, w.subscriptionId, w.nextSequence);
        break;
    case Request::Attributes:
        body = askDevices_ ? BuildWatchPrinterAttributesRequest(w.url, w.user, {"device-uri"})
                           : BuildWatchPrinterAttributesRequest(w.url, w.user);
        break;
    case Request::Cancel:
        body = BuildCancelSubscriptionRequest(w.serverUri, w.user, w.subscriptionId);
        break;
    case Request::None:
        return;
    }
    w.running = request;
    ++w.requests;
    // Only a busy client refuses, and ours is never busy here; the next look tries again.
    if (!StartPost(*w.http, w.send, w.reply, std::move(body)))
        w.running = Request::None;
}

void TWatcher::RequestDone(Watched& w, std::uint16_t error)
{
    const Request request = w.running;
    w.running = Request::None;
    w.http->SetPostStream(nullptr);
    w.http->SetReplyStream(nullptr);
    if (cancelling_) {
        EndWhileCancelling(w, request, error);
        return;
    }
    if (request == Request::None || request == Request::Cancel)
        return;
    // Any error means no answer from the server: the socket's numbers, a timeout, or a server that
    // closed without a word. An HTTP error status is an answer (the server is there).
    if (error == HttpError::CertificateRefused) {
        NotTrusted(w);
        return;
    }
    if (error != 0) {
        Unreachable(w);
        return;
    }
    // Only a 200 carries an IPP answer; anything else reads as an empty one (not walked).
    Answered(w, request, w.http->ReplyStatus() == 200 ? w.reply.str() : std::string());
}

void TWatcher::EndWhileCancelling(Watched& w, Request request, std::uint16_t error)
{
    if (request == Request::Cancel) {
        w.subscriptionId = 0;
        return;
    }
    // A subscription granted just now is cancelled like the others; nothing else is asked.
    if (request == Request::Subscribe && error == 0 && w.http->ReplyStatus() == 200) {
        const SubscriptionAnswer answer = ReadSubscriptionAnswer(w.reply.str());
        if (answer.Succeeded() && answer.subscriptionId > 0)
            w.subscriptionId = answer.subscriptionId;
    }
    if (w.subscriptionId > 0)
        Send(w, Request::Cancel);
}

void TWatcher::Answered(Watched& w, Request request, const std::string& body)
{
    switch (request) {
    case Request::Subscribe: Subscribed(w, body); return;
    case Request::Renew: Renewed(w, body); return;
    case Request::Notifications: NotificationsRead(w, body); return;
    case Request::Attributes: AttributesRead(w, body); return;
    case Request::None:
    case Request::Cancel: return;
    }
}

void TWatcher::Subscribed(Watched& w, const std::string& body)
{
    const SubscriptionAnswer answer = ReadSubscriptionAnswer(body);
    if (answer.Succeeded() && answer.subscriptionId > 0) {
        w.mode = WatchMode::Events;
        w.subscriptionId = answer.subscriptionId;
        w.nextSequence = 1;
        SetLease(w, answer.leaseSeconds);
    } else {
        w.mode = WatchMode::Polling;
        w.subscriptionId = 0;
    }
    // Events tell only what happens from now on: the state as it is comes from the attributes.
    Send(w, Request::Attributes);
}

void TWatcher::Renewed(Watched& w, const std::string& body)
{
    const SubscriptionAnswer answer = ReadSubscriptionAnswer(body);
    if (!answer.Succeeded()) {
        w.mode = WatchMode::Subscribing;
        w.subscriptionId = 0;
        Send(w, Request::Subscribe);
        return;
    }
    SetLease(w, answer.leaseSeconds >= 0 ? answer.leaseSeconds : kLeaseSeconds);
    Send(w, Request::Notifications);
}

void TWatcher::NotificationsRead(Watched& w, const std::string& body)
{
    const SubscriptionAnswer answer = ReadSubscriptionAnswer(body, UriPath(w.url));
    if (!answer.Succeeded()) {
        // A server that lost the subscription (it was restarted, or the lease ran out) gets a new
        // one; any other refusal (another user's subscription, say) leaves the events for good.
        const bool lost = answer.walked && answer.statusCode == kIppStatusNotFound;
        w.mode = lost ? WatchMode::Subscribing : WatchMode::Polling;
        w.subscriptionId = 0;
        Send(w, lost ? Request::Subscribe : Request::Attributes);
        return;
    }
    if (answer.lastSequence >= w.nextSequence)
        w.nextSequence = answer.lastSequence + 1;
    if (answer.events > 0 || w.needLook)
        Send(w, Request::Attributes);
}

void TWatcher::AttributesRead(Watched& w, const std::string& body)
{
    WatchState next;
    next.reachable = true;
    const IppAnswerStatus status = ReadAnswerStatus(body);
    if (texts::SaysNoSuchPrinter(status)) {
        next.refusal = texts::kNoPrintersSuffix;
    } else if (!status.Succeeded()) {
        next.refusal = texts::IppFailureSuffix(status, w.http->ReplyStatus());
    } else {
        std::string deviceUri;
        next.says = ReadPrinterAnswer(body, next.printer, &deviceUri);
        next.jobs = ReadSubscriptionAnswer(body).queuedJobs;
        if (askDevices_ && deviceUri != w.deviceUri) {
            w.deviceUri = deviceUri;
            w.device = deviceUri.empty() ? DeviceTarget{} : TargetOf(deviceUri, w.entry->remotehost);
            w.deviceLooked = false;
        }
    }
    JudgeDevice(w, next);
    w.needLook = false;
    w.quietLooks = 0;
    Report(w, std::move(next));
}

void TWatcher::Unreachable(Watched& w)
{
    w.needLook = true;
    // A server that refused subscriptions may be another one when it is back.
    if (w.mode == WatchMode::Polling && !pollOnly_)
        w.mode = WatchMode::Subscribing;
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

void TWatcher::SetLease(Watched& w, std::int32_t leaseSeconds)
{
    // 0 is a lease without end; an answer without a lease is taken to grant what was asked.
    const std::int32_t granted = leaseSeconds < 0 ? kLeaseSeconds : leaseSeconds;
    w.leaseEnds = granted > 0;
    // Half the lease, but at least one look before its end even with a long interval.
    const auto half = std::chrono::seconds(granted / 2);
    const auto beforeEnd = std::chrono::seconds(granted) - 2 * std::chrono::seconds(seconds_);
    w.renewAt = std::chrono::steady_clock::now() + std::min(half, std::max(beforeEnd, std::chrono::seconds(0)));
}

void TWatcher::AskDevice(Watched& w)
{
    if (!askDevices_ || w.device.url.empty() || cancelling_)
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
    w.deviceHttp->SetURL(w.device.url);
    w.deviceRunning = true;
    ++w.requests;
    if (!StartPost(*w.deviceHttp, w.deviceSend, w.deviceReply,
                   BuildWatchPrinterAttributesRequest(w.device.url, w.user)))
        w.deviceRunning = false;
}

void TWatcher::DeviceDone(Watched& w, std::uint16_t error)
{
    w.deviceRunning = false;
    w.deviceHttp->SetPostStream(nullptr);
    w.deviceHttp->SetReplyStream(nullptr);
    w.deviceLooked = true;
    w.deviceReachable = error == 0;
    w.devicePrinter = {};
    const bool answered = w.deviceReachable && w.deviceHttp->ReplyStatus() == 200;
    w.deviceSays = ReadPrinterAnswer(answered ? w.deviceReply.str() : std::string(), w.devicePrinter);
    if (cancelling_ || !w.state.looked || !w.state.reachable)
        return;
    WatchState next = w.state;
    JudgeDevice(w, next);
    Report(w, std::move(next));
}

void TWatcher::JudgeDevice(const Watched& w, WatchState& next) const
{
    next.device.clear();
    next.deviceDisagrees = false;
    if (!askDevices_ || !next.reachable || w.deviceUri.empty())
        return;
    if (w.device.url.empty()) {
        next.device = w.device.note;
        return;
    }
    // Only a queue that looks well can disagree: one already stopped or failing says so itself.
    if (!w.deviceLooked || PrinterStatusText(next.printer, "").lamp != Lamp::Green || HasError(next.says))
        return;
    std::string problem;
    if (!w.deviceReachable) {
        problem = texts::kDeviceUnreachable;
    } else {
        for (const std::string& reason : w.deviceSays.reasons)
            if (LevelOfReason(reason) == ReasonLevel::Error)
                problem += (problem.empty() ? "" : ", ") + reason;
        if (problem.empty() && w.devicePrinter.stateText == PrinterStateText(5))
            problem = texts::kDeviceStopped;
    }
    if (problem.empty())
        return;
    next.device = texts::kDeviceCups + next.printer.stateText + next.printer.acceptingText + texts::kDeviceSays +
                  problem;
    next.deviceDisagrees = true;
}

void TWatcher::Report(Watched& w, WatchState next)
{
    if (w.state.looked && w.state.SameAs(next))
        return;
    next.looked = true;
    next.changedAt = std::chrono::system_clock::now();
    w.state = std::move(next);
    if (OnChange)
        OnChange(*this, w.index);
}

}  // namespace quenlo
