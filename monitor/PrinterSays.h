// What a printer says about itself beyond its state: the printer-state-reasons keywords and its
// supplies, read from the same Get-Printer-Attributes answer as the printer line.
//
// A reason keyword's suffix gives its level: "-error" needs attention now, "-warning" soon,
// "-report" never alerts. Of the keywords servers send without a suffix, "none", "paused" (already
// shown as stopped), "moving-to-paused", "connecting-to-device" (during every job) and every
// "cups-..." keyword are no problem; every other unsuffixed keyword ("offline", "shutdown",
// "spool-area-full", "other", ...) is an error. The state message never decides anything.
//
// Supplies come from the marker-* attributes (names, colors, types, levels, low and high levels)
// or, where a printer sends none, from printer-supply / printer-supply-description, which carry a
// level and a maximum only: then low is 10% of the maximum for supplies that are used up and high
// is 90% for waste containers. Levels below 0 (-1, -2, -3) are unknown, never empty.
#pragma once

#include "ipp/IppResponse.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

enum class ReasonLevel : std::uint8_t { None, Report, Warning, Error };

ReasonLevel LevelOfReason(std::string_view keyword);
// The keyword in the window's language for the common ones (the suffix does not matter), the
// keyword itself for the rest.
std::string ReasonText(std::string_view keyword);

struct Supply {
    std::string name;
    std::string colour;  // "#RRGGBB" (several for a multi-colour supply), a colorant name, or empty
    std::string type;    // "toner", "ink", "waste-toner", "wasteToner", ...
    std::int32_t level = -1;  // percent; below 0: unknown
    std::int32_t low = -1;    // at or below: running out (below 0: no such level)
    std::int32_t high = -1;   // at or above: a waste container is full (below 0: no such level)

    bool operator==(const Supply&) const = default;
};

// Waste containers fill up; everything else is used up.
bool IsWasteSupply(const Supply& supply);

enum class SupplyAlert : std::uint8_t { None, Low, Full };
SupplyAlert AlertOf(const Supply& supply);
// "NAME: 5%" with " (kevés)" / " (tele)" when it alerts; "NAME: ismeretlen" for an unknown level.
std::string SupplyText(const Supply& supply);

// What one answer says.
struct PrinterSays {
    std::vector<std::string> reasons;  // as sent, "none" left out
    std::vector<Supply> supplies;

    bool operator==(const PrinterSays&) const = default;
};

// One thing the user is told about: a warning or error reason, or a supply that alerts. `key`
// stays the same while the condition lasts (a supply's level may move meanwhile).
struct PrinterAlert {
    std::string key;
    std::string text;
    ReasonLevel level = ReasonLevel::Warning;
};
// The errors first, then the warnings (reasons, then supplies), each in the order of the answer.
std::vector<PrinterAlert> AlertsOf(const PrinterSays& says);
// The texts of the alerts of one level, joined with "; ".
std::string AlertTexts(const std::vector<PrinterAlert>& alerts, ReasonLevel level);

// Collects the attributes of a walk (additional values arrive with an empty name).
class PrinterSaysReader {
public:
    void Apply(const IppAttribute& attribute);
    PrinterSays Result() const;

private:
    struct Marker {
        std::vector<std::string> names, colours, types;
        std::vector<std::int32_t> levels, lows, highs;
    };
    std::string current_;  // the name of the attribute whose values are arriving
    std::vector<std::string> reasons_;
    Marker marker_;
    std::vector<std::string> supplyValues_, supplyDescriptions_;
};

}  // namespace quenlo
