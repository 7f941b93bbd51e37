#include "monitor/PrinterSays.h"

#include "monitor/MonitorTexts.h"
#include "platform/Text.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace quenlo {

namespace {

constexpr std::string_view kErrorSuffix = "-error";
constexpr std::string_view kWarningSuffix = "-warning";
constexpr std::string_view kReportSuffix = "-report";

bool EndsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string_view WithoutSuffix(std::string_view keyword)
{
    for (const std::string_view suffix : {kErrorSuffix, kWarningSuffix, kReportSuffix})
        if (EndsWith(keyword, suffix))
            return keyword.substr(0, keyword.size() - suffix.size());
    return keyword;
}

// printer-supply values read as "key=value;key=value;...".
std::string_view SupplyField(std::string_view value, std::string_view key)
{
    while (!value.empty()) {
        const std::size_t end = std::min(value.find(';'), value.size());
        const std::string_view part = value.substr(0, end);
        if (part.size() > key.size() && part.substr(0, key.size()) == key && part[key.size()] == '=')
            return part.substr(key.size() + 1);
        value.remove_prefix(std::min(end + 1, value.size()));
    }
    return {};
}

std::int32_t NumberOr(std::string_view text, std::int32_t fallback)
{
    std::int32_t n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    return error == std::errc() && end == text.data() + text.size() ? n : fallback;
}

Supply SupplyOfValue(std::string_view value, std::string description, std::size_t index)
{
    Supply s;
    s.name = description.empty() ? "supply " + std::to_string(index + 1) : std::move(description);
    s.colour = std::string(SupplyField(value, "colorantname"));
    s.type = std::string(SupplyField(value, "type"));
    if (SupplyField(value, "class") == "receptacleThatIsFilled" && !IsWasteSupply(s))
        s.type = "waste-" + s.type;
    const std::int32_t level = NumberOr(SupplyField(value, "level"), -1);
    const std::int32_t maximum = NumberOr(SupplyField(value, "maxcapacity"), -2);
    // Without a known maximum the level is taken as a percentage.
    s.level = level < 0 || maximum <= 0 ? level : static_cast<std::int32_t>(std::int64_t{level} * 100 / maximum);
    if (IsWasteSupply(s))
        s.high = 90;
    else
        s.low = 10;
    return s;
}

template <typename T>
T At(const std::vector<T>& values, std::size_t index, T fallback)
{
    return index < values.size() ? values[index] : fallback;
}

}  // namespace

ReasonLevel LevelOfReason(std::string_view keyword)
{
    if (EndsWith(keyword, kErrorSuffix))
        return ReasonLevel::Error;
    if (EndsWith(keyword, kWarningSuffix))
        return ReasonLevel::Warning;
    if (EndsWith(keyword, kReportSuffix))
        return ReasonLevel::Report;
    if (keyword.empty() || keyword == "none" || keyword == "paused" || keyword == "moving-to-paused" ||
        keyword == "connecting-to-device" || keyword.substr(0, 5) == "cups-")
        return ReasonLevel::None;
    return ReasonLevel::Error;
}

std::string ReasonText(std::string_view keyword)
{
    const std::string_view stem = WithoutSuffix(keyword);
    for (const texts::ReasonName& r : texts::kReasonTexts)
        if (r.keyword == stem)
            return r.text;
    return std::string(keyword);
}

bool IsWasteSupply(const Supply& supply)
{
    return platform::AsciiLower(supply.type).find("waste") != std::string::npos;
}

SupplyAlert AlertOf(const Supply& supply)
{
    if (supply.level < 0)
        return SupplyAlert::None;
    if (IsWasteSupply(supply))
        return supply.high >= 0 && supply.level >= supply.high ? SupplyAlert::Full : SupplyAlert::None;
    return supply.low >= 0 && supply.level <= supply.low ? SupplyAlert::Low : SupplyAlert::None;
}

std::string SupplyText(const Supply& supply)
{
    std::string text = supply.name + ": ";
    if (supply.level < 0)
        return text + texts::kSupplyUnknown;
    text += std::to_string(supply.level) + "%";
    switch (AlertOf(supply)) {
    case SupplyAlert::Low: return text + texts::kSupplyLow;
    case SupplyAlert::Full: return text + texts::kSupplyFull;
    case SupplyAlert::None: break;
    }
    return text;
}

std::vector<PrinterAlert> AlertsOf(const PrinterSays& says)
{
    std::vector<PrinterAlert> alerts;
    for (const ReasonLevel wanted : {ReasonLevel::Error, ReasonLevel::Warning})
        for (const std::string& reason : says.reasons)
            if (LevelOfReason(reason) == wanted)
                alerts.push_back({reason, ReasonText(reason), wanted});
    for (const Supply& supply : says.supplies) {
        const SupplyAlert alert = AlertOf(supply);
        if (alert != SupplyAlert::None)
            alerts.push_back({(alert == SupplyAlert::Low ? "supply-low:" : "supply-full:") + supply.name,
                              SupplyText(supply), ReasonLevel::Warning});
    }
    return alerts;
}

std::string AlertTexts(const std::vector<PrinterAlert>& alerts, ReasonLevel level)
{
    std::string text;
    for (const PrinterAlert& alert : alerts) {
        if (alert.level != level)
            continue;
        if (!text.empty())
            text += "; ";
        text += alert.text;
    }
    return text;
}

void PrinterSaysReader::Apply(const IppAttribute& attribute)
{
    if (!attribute.name.empty())
        current_.assign(attribute.name);
    const std::string text(attribute.text);
    if (current_ == "printer-state-reasons") {
        if (!text.empty() && text != "none")
            reasons_.push_back(text);
    } else if (current_ == "marker-names") {
        marker_.names.push_back(text);
    } else if (current_ == "marker-colors") {
        marker_.colours.push_back(text == "none" ? std::string() : text);
    } else if (current_ == "marker-types") {
        marker_.types.push_back(text);
    } else if (current_ == "marker-levels") {
        marker_.levels.push_back(attribute.integer);
    } else if (current_ == "marker-low-levels") {
        marker_.lows.push_back(attribute.integer);
    } else if (current_ == "marker-high-levels") {
        marker_.highs.push_back(attribute.integer);
    } else if (current_ == "printer-supply") {
        supplyValues_.push_back(text);
    } else if (current_ == "printer-supply-description") {
        supplyDescriptions_.push_back(text);
    }
}

PrinterSays PrinterSaysReader::Result() const
{
    PrinterSays says;
    says.reasons = reasons_;
    // The marker attributes say more (their own low and high levels): they win where both come.
    if (!marker_.names.empty()) {
        for (std::size_t i = 0; i < marker_.names.size(); ++i)
            says.supplies.push_back(Supply{marker_.names[i], At(marker_.colours, i, std::string()),
                                           At(marker_.types, i, std::string()), At(marker_.levels, i, -1),
                                           At(marker_.lows, i, -1), At(marker_.highs, i, -1)});
        return says;
    }
    for (std::size_t i = 0; i < supplyValues_.size(); ++i)
        says.supplies.push_back(SupplyOfValue(supplyValues_[i], At(supplyDescriptions_, i, std::string()), i));
    return says;
}

}  // namespace quenlo
