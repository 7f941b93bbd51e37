// When the watch announces a printer: held for an interval, at most once a minute per printer.
#include "monitor/WatchNotice.h"

#include <gtest/gtest.h>

namespace quenlo {
namespace {

using namespace std::chrono_literals;
using Clock = TWatchNotices::Clock;

TEST(WatchNotices, HeldForAnIntervalAndOncePerMinutePerPrinter)
{
    TWatchNotices notices(2, 5s);
    const Clock::time_point t0{};
    auto at = [&](std::chrono::milliseconds offset) { return t0 + offset; };

    // Green from the start says nothing; a flicker shorter than the interval says nothing either.
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(0s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Red, at(1s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(5s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(30s)), std::nullopt);

    // Yellow held for the whole interval is announced once, not at every later call.
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, at(40s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, at(44999ms)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, at(45s)), Lamp::Yellow);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, at(50s)), std::nullopt);

    // The other printer has its own minute: red at once after its interval.
    EXPECT_EQ(notices.Update(1, Lamp::Red, at(46s)), std::nullopt);
    EXPECT_EQ(notices.Update(1, Lamp::Red, at(51s)), Lamp::Red);

    // Printer 0 turns red and stays: held back by the minute, then announced while still red.
    EXPECT_EQ(notices.Update(0, Lamp::Red, at(60s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Red, at(104s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Red, at(105s)), Lamp::Red);

    // Back to green, and back to red before the held notice was due: nothing is said at all.
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(110s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(120s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Red, at(150s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Red, at(200s)), std::nullopt);

    // Green again and held: announced once the minute since the last notice is over.
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(201s)), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Green, at(206s)), Lamp::Green);

    // Out of range is ignored.
    EXPECT_EQ(notices.Update(7, Lamp::Red, at(300s)), std::nullopt);
}

// A printer's alert is cleared once it has been green for an interval, within its minute; a
// flicker, a printer never announced and a second look clear nothing.
TEST(WatchNotices, ClearedWhenGreenAgainBeforeTheMinute)
{
    TWatchNotices notices(2, 5s);
    const Clock::time_point t0{};
    const auto look = [&](std::size_t i, Lamp lamp, std::chrono::seconds at) {
        notices.Update(i, lamp, t0 + at);
        return notices.Cleared(i, t0 + at);
    };
    EXPECT_FALSE(look(1, Lamp::Red, 0s));
    EXPECT_FALSE(look(1, Lamp::Green, 2s)) << "never announced";
    EXPECT_FALSE(look(1, Lamp::Green, 9s));

    EXPECT_FALSE(look(0, Lamp::Yellow, 0s));
    EXPECT_FALSE(look(0, Lamp::Yellow, 5s));
    EXPECT_FALSE(look(0, Lamp::Green, 6s));
    EXPECT_FALSE(look(0, Lamp::Yellow, 8s)) << "a flicker of green";
    EXPECT_FALSE(look(0, Lamp::Green, 10s));
    EXPECT_TRUE(look(0, Lamp::Green, 15s)) << "green for an interval, long before the minute";
    EXPECT_FALSE(look(0, Lamp::Green, 16s));
    EXPECT_EQ(notices.Update(0, Lamp::Green, t0 + 65s), Lamp::Green) << "the minute's notice still comes";
    EXPECT_FALSE(notices.Cleared(0, t0 + 65s));
    // A red held back by the minute was never said: its end clears nothing.
    EXPECT_FALSE(look(0, Lamp::Red, 70s));
    EXPECT_FALSE(look(0, Lamp::Red, 75s));
    EXPECT_FALSE(look(0, Lamp::Green, 80s));
    EXPECT_FALSE(look(0, Lamp::Green, 90s));
    EXPECT_FALSE(notices.Cleared(9, t0 + 90s));
}

// A jam on a printer already stopped is news although the lamp stays yellow; a warning is said
// once (under the same minute), and again only after it went away and came back.
TEST(WatchNotices, NewErrorsAndWarningsOnceEach)
{
    TWatchNotices notices(1, 5s);
    const Clock::time_point t0{};
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, "", t0), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, "", t0 + 5s), Lamp::Yellow);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, "papírelakadás", t0 + 10s), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, "papírelakadás", t0 + 65s), Lamp::Yellow);

    const std::vector<std::string> toner{"toner-low-warning"}, both{"toner-low-warning", "media-low-warning"};
    EXPECT_TRUE(notices.NewWarnings(0, toner, t0 + 70s).empty()) << "within the minute of the jam";
    EXPECT_EQ(notices.NewWarnings(0, toner, t0 + 125s), toner);
    EXPECT_TRUE(notices.NewWarnings(0, both, t0 + 126s).empty()) << "not held for an interval yet";
    EXPECT_EQ(notices.NewWarnings(0, both, t0 + 131s), std::vector<std::string>{"media-low-warning"});
    EXPECT_TRUE(notices.NewWarnings(0, both, t0 + 140s).empty());
    // The warnings did not hold back the end of the jam.
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, "", t0 + 141s), std::nullopt);
    EXPECT_EQ(notices.Update(0, Lamp::Yellow, "", t0 + 146s), Lamp::Yellow);
    EXPECT_TRUE(notices.NewWarnings(0, {}, t0 + 300s).empty());
    EXPECT_TRUE(notices.NewWarnings(0, toner, t0 + 301s).empty());
    EXPECT_EQ(notices.NewWarnings(0, toner, t0 + 306s), toner);
}

}  // namespace
}  // namespace quenlo
