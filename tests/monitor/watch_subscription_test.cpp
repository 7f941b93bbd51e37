// The subscription's life cycle alone: fed the answers a server gives, it asks for the right
// request next, at the right time, and says when the printers are to be read.
#include "ipp/Ipp.h"
#include "monitor/WatchSubscription.h"
#include "MonitorTestKit.h"

#include <gtest/gtest.h>

namespace quenlo {
namespace {

using namespace std::chrono_literals;
using Step = TWatchStep;

const auto t0 = std::chrono::steady_clock::time_point{} + 1000h;

// The operation of a Send step's request, and the subscription it names (0: none).
std::pair<int, std::int32_t> Asked(const Step& step)
{
    EXPECT_EQ(step.kind, Step::Send);
    if (step.body.size() < 4)
        return {-1, 0};
    std::int32_t id = 0;
    WalkResponse(step.body, kIppPrinterWalkDelimiterLimit,
                 [&](const IppAttribute& a) { id = a.name.starts_with("notify-subscription-id") ? a.integer : id; }, {});
    return {static_cast<unsigned char>(step.body[2]) << 8 | static_cast<unsigned char>(step.body[3]), id};
}

std::string Granted(std::int32_t id, std::int32_t lease)
{
    return test::IppAnswer().Tag(0x06).Integer(0x21, "notify-subscription-id", id)
        .Integer(0x21, "notify-lease-duration", lease).End().str();
}

std::string Refused(int status) { return test::IppAnswer(status).End().str(); }

TEST(WatchSubscription, SubscribesFetchesEventsRenewsAndSubscribesAgainWhenLost)
{
    TWatchSubscription s("http://h:631/", "anna", true, false, 10s);
    EXPECT_EQ(Asked(s.Look(t0)).first, kIppCreatePrinterSubscriptions);
    EXPECT_EQ(s.Answered(Granted(7, 100), t0).kind, Step::LookAtAll) << "events tell only what comes";
    EXPECT_EQ(s.Mode(), WatchMode::Events);
    EXPECT_EQ(Asked(s.Look(t0 + 10s)), std::make_pair(int{kIppGetNotifications}, 7));
    const Step events = s.Answered(test::IppAnswer().Tag(0x07).Text(0x45, "notify-printer-uri", "ipp://h/printers/a")
                                       .Integer(0x21, "notify-sequence-number", 4).End().str(), t0);
    EXPECT_EQ(events.kind, Step::LookAtNamed);
    EXPECT_TRUE(events.events.Concerns("/printers/a"));
    EXPECT_FALSE(events.events.Concerns("/printers/b"));
    // Renewed at half the lease; a renewal goes on to the events at once.
    EXPECT_EQ(Asked(s.Look(t0 + 49s)).first, kIppGetNotifications);
    EXPECT_EQ(Asked(s.Look(t0 + 50s)), std::make_pair(int{kIppRenewSubscription}, 7));
    EXPECT_EQ(Asked(s.Answered(Refused(0), t0 + 50s)).first, kIppGetNotifications);
    // Every tenth look reads all the printers, events or not.
    for (int look = 4; look < 10; ++look) {
        s.Look(t0 + 60s);
        EXPECT_EQ(s.Answered(Refused(0), t0 + 60s).kind, Step::LookAtNamed);
    }
    s.Look(t0 + 60s);
    EXPECT_EQ(s.Answered(Refused(0), t0 + 60s).kind, Step::LookAtAll);
    // A server that restarted no longer knows the subscription.
    s.Look(t0 + 60s);
    EXPECT_EQ(Asked(s.Answered(Refused(kIppStatusNotFound), t0 + 60s)).first, kIppCreatePrinterSubscriptions);
    EXPECT_EQ(s.Mode(), WatchMode::Subscribing);
    // Ending: a subscription granted while the watch ends is cancelled too.
    EXPECT_EQ(Asked(s.EndedWhileCancelling(Granted(8, 100))), std::make_pair(int{kIppCancelSubscription}, 8));
    EXPECT_EQ(s.EndedWhileCancelling(std::nullopt).kind, Step::Idle);
    EXPECT_EQ(s.Cancel().kind, Step::Idle);
}

TEST(WatchSubscription, RefusalsGoToEachPrinterOrToPollingAndAFullServerWaitsLonger)
{
    TWatchSubscription root("http://h:631/", "anna", true, false, 10s);
    root.Look(t0);
    EXPECT_EQ(root.Answered(Refused(kIppStatusNotAuthorized), t0).kind, Step::SubscribeEach);
    TWatchSubscription own("http://h:631/printers/a", "anna", false, false, 10s);
    own.Look(t0);
    EXPECT_EQ(own.Answered(Refused(kIppStatusNotAuthorized), t0).kind, Step::LookAtAll);
    EXPECT_EQ(own.Mode(), WatchMode::Polling);
    EXPECT_EQ(own.Look(t0 + 1h).kind, Step::LookAtAll) << "refused for good";
    own.Unreachable();
    EXPECT_EQ(Asked(own.Look(t0 + 1h)).first, kIppCreatePrinterSubscriptions) << "back, maybe another server";

    TWatchSubscription full("http://h:631/", "anna", true, false, 10s);
    for (const auto pause : {60s, 120s, 240s}) {
        SCOPED_TRACE(pause.count());
        EXPECT_EQ(Asked(full.Look(t0)).first, kIppCreatePrinterSubscriptions);
        EXPECT_EQ(full.Answered(Refused(kIppStatusTooManySubscriptions), t0).kind, Step::LookAtAll);
        full.Unreachable();
        EXPECT_EQ(full.Look(t0 + pause - 1s).kind, Step::LookAtAll);
        EXPECT_EQ(Asked(full.Look(t0 + pause)).first, kIppCreatePrinterSubscriptions);
    }
    TWatchSubscription polled("http://h:631/", "anna", true, true, 10s);
    polled.Unreachable();
    EXPECT_EQ(polled.Look(t0).kind, Step::LookAtAll);
}

}  // namespace
}  // namespace quenlo
