#include "monitor/WatchState.h"

#include "ipp/IppResponse.h"
#include "monitor/MonitorTexts.h"

#include <algorithm>

namespace quenlo {

namespace {

bool SameRecord(const PrinterRecord& a, const PrinterRecord& b)
{
    return a.stateText == b.stateText && a.acceptingText == b.acceptingText && a.stateMessage == b.stateMessage;
}

}  // namespace

double QueueJobs::OldestPendingAge(std::chrono::steady_clock::time_point now) const
{
    if (!known || oldestPendingSeconds < 0)
        return -1;
    return static_cast<double>(oldestPendingSeconds) + std::chrono::duration<double>(now - readAt).count();
}

QueueJobs ReadQueueJobs(std::string_view body, std::chrono::steady_clock::time_point now)
{
    QueueJobs queue;
    if (!ReadAnswerStatus(body).Succeeded())
        return queue;
    queue.known = true;
    queue.readAt = now;
    // A job is judged when its group ends: its attributes come in any order.
    std::int32_t state = 0;
    std::int64_t created = -1, upTime = -1;
    bool inJob = false;
    const auto endJob = [&] {
        if (inJob && state >= 3 && state <= 6)
            ++queue.byState[static_cast<std::size_t>(state - 3)];
        if (inJob && state == 3 && created >= 0 && upTime >= 0)
            queue.oldestPendingSeconds =
                std::max(queue.oldestPendingSeconds, std::max<std::int64_t>(upTime - created, 0));
        inJob = false;
    };
    WalkResponse(body, kIppJobWalkDelimiterLimit,
                 [&](const IppAttribute& a) {
                     if (!inJob)
                         return;
                     if (a.name == "job-state")
                         state = a.integer;
                     else if (a.name == "time-at-creation")
                         created = a.integer;
                     else if (a.name == "job-printer-up-time")
                         upTime = a.integer;
                 },
                 [&](int tag) {
                     endJob();
                     inJob = tag == kIppTagJobAttributes;
                     state = 0;
                     created = upTime = -1;
                 });
    endJob();
    return queue;
}

bool HasError(const PrinterSays& says)
{
    return std::any_of(says.reasons.begin(), says.reasons.end(),
                       [](const std::string& r) { return LevelOfReason(r) == ReasonLevel::Error; });
}

bool WatchState::SameAs(const WatchState& other) const
{
    return reachable == other.reachable && SameRecord(printer, other.printer) && refusal == other.refusal &&
           jobs == other.jobs && says == other.says && device == other.device &&
           deviceDisagrees == other.deviceDisagrees && passwordPlain == other.passwordPlain;
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

}  // namespace quenlo
