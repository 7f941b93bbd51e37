// The printer behind a watched queue (the printers file's "watchdevice" key): where it is asked,
// and what its answer means against the queue's.
#pragma once

#include "monitor/PrinterSays.h"
#include "monitor/RefreshText.h"
#include "monitor/WatchState.h"

#include <string>
#include <string_view>

namespace quenlo {

// Where the device of a queue is asked: its URL, or an empty one and the reason.
struct DeviceTarget {
    std::string url;
    std::string note;
};

// Where the device `deviceUri` of a queue on the server `serverHostPort` ("host:port") is asked:
// ipp:// devices over plain HTTP; a network device of another scheme only gets a note.
DeviceTarget TargetOf(std::string_view deviceUri, std::string_view serverHostPort);

// What the printer behind a queue said at its last look.
struct DeviceLook {
    std::string uri;  // the queue's device-uri; empty while not known
    DeviceTarget target;
    bool looked = false;
    bool reachable = false;
    PrinterRecord printer;
    PrinterSays says;
};

// Sets the device note of `next` (the queue's new state): why the device is not asked, or how it
// disagrees with a queue that looks well; none when it agrees or is not known yet.
void JudgeDevice(const DeviceLook& device, WatchState& next);

}  // namespace quenlo
