#include "monitor/WatchState.h"

#include "monitor/MonitorTexts.h"

#include <algorithm>

namespace quenlo {

namespace {

bool SameRecord(const PrinterRecord& a, const PrinterRecord& b)
{
    return a.stateText == b.stateText && a.acceptingText == b.acceptingText && a.stateMessage == b.stateMessage;
}

}  // namespace

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
