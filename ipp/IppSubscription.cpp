#include "ipp/IppSubscription.h"

#include "ipp/IppResponse.h"
#include "net/HttpUrl.h"
#include "platform/Text.h"

#include <algorithm>
#include <limits>

namespace quenlo {

namespace {

// Queue names are not case-sensitive on the servers we watch: an entry's "/printers/Laser" is the
// queue the server's events call ".../printers/laser".
bool SamePrinterPath(std::string_view a, std::string_view b) { return platform::AsciiEqualIgnoringCase(a, b); }

// The start of a watch request: the shared operation attributes at IPP/1.1, then the user.
IppMessage BeginWatchRequest(int op, std::string_view printerUri, std::string_view user)
{
    IppMessage msg = BeginPrinterRequest(op, printerUri);
    msg[1] = 1;  // version 1.1: subscriptions are not part of IPP/1.0
    AddStringAttribute(msg, kIppTagNameWithoutLanguage, "requesting-user-name", user);
    return msg;
}

}  // namespace

IppMessage BuildCreatePrinterSubscriptionsRequest(std::string_view printerUri, std::string_view user,
                                                  std::int32_t leaseSeconds)
{
    IppMessage msg = BeginWatchRequest(kIppCreatePrinterSubscriptions, printerUri, user);
    AppendByte(msg, kIppTagSubscriptionAttributes);
    AddStringAttribute(msg, kIppTagKeyword, "notify-pull-method", "ippget");
    AddKeywords(msg, "notify-events", WatchEvents());
    AddIntegerAttribute(msg, kIppTagInteger, "notify-lease-duration", leaseSeconds);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildGetNotificationsRequest(std::string_view printerUri, std::string_view user,
                                        std::int32_t subscriptionId, std::int32_t sequenceNumber)
{
    IppMessage msg = BeginWatchRequest(kIppGetNotifications, printerUri, user);
    AddIntegerAttribute(msg, kIppTagInteger, "notify-subscription-ids", subscriptionId);
    AddIntegerAttribute(msg, kIppTagInteger, "notify-sequence-numbers", sequenceNumber);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildRenewSubscriptionRequest(std::string_view printerUri, std::string_view user,
                                         std::int32_t subscriptionId, std::int32_t leaseSeconds)
{
    IppMessage msg = BeginWatchRequest(kIppRenewSubscription, printerUri, user);
    AddIntegerAttribute(msg, kIppTagInteger, "notify-subscription-id", subscriptionId);
    AddIntegerAttribute(msg, kIppTagInteger, "notify-lease-duration", leaseSeconds);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildCancelSubscriptionRequest(std::string_view printerUri, std::string_view user,
                                          std::int32_t subscriptionId)
{
    IppMessage msg = BeginWatchRequest(kIppCancelSubscription, printerUri, user);
    AddIntegerAttribute(msg, kIppTagInteger, "notify-subscription-id", subscriptionId);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildWatchPrinterAttributesRequest(std::string_view printerUri, std::string_view user,
                                              const std::vector<std::string_view>& extra)
{
    IppMessage msg = BeginWatchRequest(kIppGetPrinterAttributes, printerUri, user);
    std::vector<std::string_view> names = WatchAttributes();
    names.insert(names.end(), extra.begin(), extra.end());
    AddKeywords(msg, "requested-attributes", names);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildWatchPrinterListRequest(std::string_view serverUri, std::string_view user,
                                        const std::vector<std::string_view>& extra)
{
    IppMessage msg = BeginWatchRequest(kIppCupsGetPrinters, serverUri, user);
    std::vector<std::string_view> names = WatchAttributes();
    names.push_back("printer-name");
    names.insert(names.end(), extra.begin(), extra.end());
    AddKeywords(msg, "requested-attributes", names);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildWatchJobsRequest(std::string_view printerUri, std::string_view user)
{
    IppMessage msg = BeginWatchRequest(kIppGetJobs, printerUri, user);
    AddStringAttribute(msg, kIppTagKeyword, "which-jobs", "not-completed");
    AddKeywords(msg, "requested-attributes", {"job-state", "time-at-creation", "job-printer-up-time"});
    EndAttributes(msg);
    return msg;
}

bool SubscriptionAnswer::Concerns(std::string_view printerPath) const
{
    return std::any_of(eventPrinters.begin(), eventPrinters.end(), [printerPath](const std::string& path) {
        return path.empty() || SamePrinterPath(path, printerPath);
    });
}

std::int32_t SubscriptionAnswer::NextSequence(std::int32_t asked) const
{
    if (lastSequence < asked)
        return asked;
    // At the top the last event comes again at the next look: a look too many, never a wrap.
    return lastSequence == std::numeric_limits<std::int32_t>::max() ? lastSequence : lastSequence + 1;
}

SubscriptionAnswer ReadSubscriptionAnswer(std::string_view body, std::string_view printerPath)
{
    SubscriptionAnswer answer;
    // An event group is judged when it ends: its printer URI may come anywhere inside it.
    bool inEvent = false;
    std::string eventUriPath, eventName;
    auto endEvent = [&] {
        if (!inEvent)
            return;
        std::string path = !eventUriPath.empty() ? eventUriPath
                           : eventName.empty()   ? std::string()
                                                 : "/printers/" + eventName;
        if (printerPath.empty() || path.empty() || SamePrinterPath(path, printerPath))
            ++answer.events;
        answer.eventPrinters.push_back(std::move(path));
        inEvent = false;
    };
    auto onAttribute = [&](const IppAttribute& a) {
        if (a.name == "notify-subscription-id")
            answer.subscriptionId = a.integer;
        else if (a.name == "notify-lease-duration")
            answer.leaseSeconds = a.integer;
        else if (a.name == "notify-sequence-number" && a.integer > answer.lastSequence)
            answer.lastSequence = a.integer;
        else if (a.name == "queued-job-count")
            answer.queuedJobs = a.integer;
        else if (a.name == "notify-status-code")
            answer.notifyStatus = a.integer;
        else if (a.name == "notify-get-interval")
            answer.getInterval = a.integer;
        else if (a.name == "notify-printer-uri" && inEvent)
            eventUriPath = SplitUrl(std::string(a.text), TUrlStart::SchemeOrHost).Target();
        else if (a.name == "printer-name" && inEvent)
            eventName.assign(a.text);
    };
    auto onDelimiter = [&](int tag) {
        endEvent();
        if (tag == kIppTagEventNotificationAttributes) {
            inEvent = true;
            eventUriPath.clear();
            eventName.clear();
        }
    };
    if (auto header = WalkResponse(body, kIppPrinterWalkDelimiterLimit, onAttribute, onDelimiter)) {
        endEvent();  // a body cut before its end tag
        answer.walked = true;
        answer.statusCode = header->statusCode;
    }
    return answer;
}

}  // namespace quenlo
