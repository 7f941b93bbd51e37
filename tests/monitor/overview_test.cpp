// The overview's order: a header click sorts the rows by the column, a second click turns the order
// round, and equal rows keep the file's order both ways.
#include "monitor/Overview.h"

#include <gtest/gtest.h>

namespace quenlo {
namespace {

OverviewRow Row(const char* name, Lamp lamp, std::int32_t jobs, std::vector<std::int32_t> levels = {})
{
    OverviewRow row;
    row.known = true;
    row.lamp = lamp;
    row.name = name;
    row.jobs = jobs;
    for (std::int32_t level : levels) {
        Supply supply;
        supply.level = level;
        row.supplies.push_back(supply);
    }
    return row;
}

TEST(Overview, SortsByTheColumnWithTiesInFileOrderBothWays)
{
    const std::vector<OverviewRow> rows{Row("c", Lamp::Green, 3, {80, 40}), Row("a", Lamp::Red, 0),
                                        Row("b", Lamp::Yellow, 3, {-1, 10}), Row("d", Lamp::Green, -1, {40})};
    using V = std::vector<std::size_t>;
    EXPECT_EQ(OverviewOrder(rows, OverviewColumn::Lamp, false), (V{1, 2, 0, 3}));
    EXPECT_EQ(OverviewOrder(rows, OverviewColumn::Lamp, true), (V{0, 3, 2, 1}));
    EXPECT_EQ(OverviewOrder(rows, OverviewColumn::Name, false), (V{1, 2, 0, 3}));
    EXPECT_EQ(OverviewOrder(rows, OverviewColumn::Jobs, false), (V{3, 1, 0, 2}));
    EXPECT_EQ(OverviewOrder(rows, OverviewColumn::Jobs, true), (V{0, 2, 1, 3}));
    // The emptiest known supply: 10, 40, 40; a printer without supplies first.
    EXPECT_EQ(OverviewOrder(rows, OverviewColumn::Supplies, false), (V{1, 2, 0, 3}));
}

}  // namespace
}  // namespace quenlo
