// The requests of the background watch: event subscriptions with the "ippget" pull method, and a
// Get-Printer-Attributes that asks only for the few attributes the watch shows.
//
// A watch of one printer, on a server that offers subscriptions:
//
//   Create-Printer-Subscriptions   once: the server answers with notify-subscription-id and the
//                                  lease it granted (notify-lease-duration, 0 = no end)
//   Get-Notifications              every look: the events queued since the last sequence number
//                                  (nothing when the printer did not change, so it costs little)
//   Renew-Subscription             before the lease ends
//   Cancel-Subscription            when the watch ends
//
// and, when something happened (or on a server without subscriptions, at every look), the narrow
// Get-Printer-Attributes. A subscription belongs to the requesting user that created it, so every
// request of one watch carries the same "requesting-user-name".
//
// The subscription requests take the URI of the server ("http://host:port/") rather than the
// printer's: a server files the events of a job that never reached its printer (a held job that is
// cancelled) under the job's queue only for server-wide subscriptions. One such subscription serves
// every watched printer of the server; its events are told apart by their notify-printer-uri (or
// printer-name).
//
// These requests are IPP/1.1 (the header's minor version is 1); the request-id is the operation
// code, as for every other request of the program.
#pragma once

#include "ipp/IppRequest.h"
#include "ipp/IppResponse.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

enum IppSubscriptionOperation : int {
    kIppCreatePrinterSubscriptions = 0x0016,
    kIppRenewSubscription = 0x001A,
    kIppCancelSubscription = 0x001B,
    kIppGetNotifications = 0x001C,
};

// client-error-too-many-subscriptions: the server holds as many subscriptions as it takes.
inline constexpr std::uint16_t kIppStatusTooManySubscriptions = 0x0415;

// Group tags of subscription answers and requests.
inline constexpr std::uint8_t kIppTagSubscriptionAttributes = 0x06;
inline constexpr std::uint8_t kIppTagEventNotificationAttributes = 0x07;

// The events the watch subscribes to: what changes the printer line or the number of jobs.
inline const std::vector<std::string_view>& WatchEvents()
{
    static const std::vector<std::string_view> events{"printer-state-changed", "printer-config-changed",
                                                      "job-created", "job-completed", "job-state-changed"};
    return events;
}

// The attributes the narrow Get-Printer-Attributes asks for: the printer line, the number of jobs,
// what the printer says of itself (its state reasons and supplies), and what it is and where.
inline const std::vector<std::string_view>& WatchAttributes()
{
    static const std::vector<std::string_view> names{
        "printer-state",         "printer-is-accepting-jobs", "printer-state-message", "queued-job-count",
        "printer-state-reasons", "marker-names",              "marker-colors",         "marker-types",
        "marker-levels",         "marker-low-levels",         "marker-high-levels",    "printer-supply",
        "printer-supply-description", "printer-make-and-model", "printer-location"};
    return names;
}

// Create-Printer-Subscriptions:
//   operation attributes:     charset, language, printer-uri, requesting-user-name
//   subscription attributes:  notify-pull-method "ippget", notify-events (one value per event),
//                             notify-lease-duration
IppMessage BuildCreatePrinterSubscriptionsRequest(std::string_view printerUri, std::string_view user,
                                                  std::int32_t leaseSeconds);
// Get-Notifications: charset, language, printer-uri, requesting-user-name,
// notify-subscription-ids, notify-sequence-numbers (the first event wanted); no notify-wait, so
// the server answers at once.
IppMessage BuildGetNotificationsRequest(std::string_view printerUri, std::string_view user,
                                        std::int32_t subscriptionId, std::int32_t sequenceNumber);
// Renew-Subscription: charset, language, printer-uri, requesting-user-name,
// notify-subscription-id, notify-lease-duration.
IppMessage BuildRenewSubscriptionRequest(std::string_view printerUri, std::string_view user,
                                         std::int32_t subscriptionId, std::int32_t leaseSeconds);
// Cancel-Subscription: charset, language, printer-uri, requesting-user-name, notify-subscription-id.
IppMessage BuildCancelSubscriptionRequest(std::string_view printerUri, std::string_view user,
                                          std::int32_t subscriptionId);
// Get-Printer-Attributes asking for WatchAttributes() (and `extra`), with requesting-user-name.
IppMessage BuildWatchPrinterAttributesRequest(std::string_view printerUri, std::string_view user,
                                              const std::vector<std::string_view>& extra = {});

// CUPS-Get-Printers asking for WatchAttributes(), printer-name (to tell the printers apart) and
// `extra`, with requesting-user-name: the attributes of every queue of the server in one answer.
IppMessage BuildWatchPrinterListRequest(std::string_view serverUri, std::string_view user,
                                        const std::vector<std::string_view>& extra = {});

// Get-Jobs of the jobs not yet completed, asking only for job-state, time-at-creation and
// job-printer-up-time (the printer's clock when it answers, so that a job's age needs no agreement
// between the two machines' clocks), with requesting-user-name.
IppMessage BuildWatchJobsRequest(std::string_view printerUri, std::string_view user);

// What a subscription answer says; every field keeps its default when the answer does not carry it.
struct SubscriptionAnswer {
    bool walked = false;              // the body was long enough to hold a header
    std::uint16_t statusCode = 0;
    std::int32_t subscriptionId = 0;  // notify-subscription-id (0: none)
    std::int32_t leaseSeconds = -1;   // notify-lease-duration (-1: not said)
    std::int32_t events = 0;          // event notification groups about the printer asked for
    std::int32_t lastSequence = 0;    // the highest notify-sequence-number of the events
    std::int32_t queuedJobs = -1;     // queued-job-count, for the narrow Get-Printer-Attributes
    std::int32_t notifyStatus = 0;    // notify-status-code of the subscription group (0: not said)
    std::int32_t getInterval = -1;    // notify-get-interval (-1: not said)
    // The printer path of every event ("/printers/NAME"), empty for an event that names none.
    std::vector<std::string> eventPrinters;

    // The request was carried out (successful-ok and its variants, 0x0000 to 0x00FF).
    bool Succeeded() const { return walked && IsSuccessfulIppStatus(statusCode); }
    // The server refused because it holds all the subscriptions it takes.
    bool ServerFull() const
    {
        return walked && (statusCode == kIppStatusTooManySubscriptions || notifyStatus == kIppStatusTooManySubscriptions);
    }
    // Some event concerns the printer at `printerPath`: it names that printer, or none.
    bool Concerns(std::string_view printerPath) const;
    // The notify-sequence-number to ask for after asking from `asked`: one past the last event,
    // never back, and never past the largest number the field holds.
    std::int32_t NextSequence(std::int32_t asked) const;
};

// Reads any of the answers above (Get-Printer-Attributes too, for its queued-job-count). An event
// counts when its notify-printer-uri has the path `printerPath` ("/printers/NAME", ASCII letters
// of either case), or when it
// names no printer; an empty printerPath counts every event. Bounded by the body, like every
// reader; a body of 10 bytes or fewer gives walked = false.
SubscriptionAnswer ReadSubscriptionAnswer(std::string_view body, std::string_view printerPath = {});

}  // namespace quenlo
