// The watch's answer reader on answers built the way a server writes them.
#include "ipp/Ipp.h"

#include <gtest/gtest.h>

#include <limits>

namespace quenlo {
namespace {

// A Get-Notifications answer: operation attributes, then one event group per (printer, sequence).
IppMessage NotificationsAnswer(std::uint16_t status, const std::vector<std::pair<std::string, int>>& events)
{
    IppMessage msg;
    AppendByte(msg, 1);
    AppendByte(msg, 1);
    AppendShort(msg, status);
    AppendInt(msg, 28);
    BeginOperationAttributes(msg);
    AddStringAttribute(msg, kIppTagCharset, "attributes-charset", "utf-8");
    for (const auto& [printerUri, sequence] : events) {
        AppendByte(msg, kIppTagEventNotificationAttributes);
        AddIntegerAttribute(msg, kIppTagInteger, "notify-sequence-number", sequence);
        AddStringAttribute(msg, kIppTagKeyword, "notify-subscribed-event", "job-completed");
        if (!printerUri.empty())
            AddStringAttribute(msg, kIppTagUri, "notify-printer-uri", printerUri);
    }
    EndAttributes(msg);
    return msg;
}

TEST(SubscriptionAnswer, CountsOnlyTheEventsOfThePrinterAskedFor)
{
    const IppMessage body = NotificationsAnswer(
        0, {{"ipp://server/printers/other", 4}, {"ipp://server:631/printers/mine", 5}, {"", 7}, {"ipp://x/printers/minee", 6},
            {"ipp://server:631/printers/Mine", 3}});
    const SubscriptionAnswer mine = ReadSubscriptionAnswer(body, "/printers/mine");
    EXPECT_TRUE(mine.Succeeded());
    EXPECT_EQ(mine.events, 3) << "its own events (the queue's name in any case) and the one that names no printer";
    EXPECT_EQ(mine.lastSequence, 7) << "the sequence runs over every event, whoever it is about";
    EXPECT_EQ(mine.NextSequence(1), 8);
    EXPECT_EQ(mine.NextSequence(9), 9) << "an answer of older events never takes the watch back";
    EXPECT_EQ(ReadSubscriptionAnswer(body, "/printers/MINE").events, 3);
    EXPECT_EQ(ReadSubscriptionAnswer(body).events, 5);

    // Cut before its end tag, the last event still counts.
    EXPECT_EQ(ReadSubscriptionAnswer(body.substr(0, body.size() - 1), "/printers/mine").events, 3);
}

// The sequence numbers a server may send, to their ends: the next one asked is never a wrapped,
// negative one (nor an overflow, which the sanitizer build reports).
TEST(SubscriptionAnswer, TheNextSequenceStaysWithinTheField)
{
    constexpr std::int32_t top = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t bottom = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(ReadSubscriptionAnswer(NotificationsAnswer(0, {{"", top}})).NextSequence(1), top);
    EXPECT_EQ(ReadSubscriptionAnswer(NotificationsAnswer(0, {{"", top - 1}})).NextSequence(top), top);
    EXPECT_EQ(ReadSubscriptionAnswer(NotificationsAnswer(0, {{"", bottom}})).NextSequence(1), 1);
    EXPECT_EQ(ReadSubscriptionAnswer(NotificationsAnswer(0, {{"", -1}})).NextSequence(top), top);
}

TEST(SubscriptionAnswer, TellsARefusalAndAShortBodyApart)
{
    const SubscriptionAnswer lost = ReadSubscriptionAnswer(NotificationsAnswer(kIppStatusNotFound, {}));
    EXPECT_TRUE(lost.walked);
    EXPECT_FALSE(lost.Succeeded());
    EXPECT_EQ(lost.statusCode, kIppStatusNotFound);
    EXPECT_FALSE(ReadSubscriptionAnswer(std::string(10, '\0')).walked) << "10 bytes hold no answer";
}

}  // namespace
}  // namespace quenlo
