#include "monitor/WatchDevice.h"

#include "monitor/MonitorTexts.h"
#include "net/HttpProt.h"
#include "net/HttpUrl.h"

namespace quenlo {

namespace {

// Devices on the network that are not asked; a local one (file, usb, ...) has no one to ask.
bool NetworkScheme(std::string_view scheme)
{
    for (const std::string_view s : {"dnssd", "ipps", "http", "https", "lpd", "socket", "smb", "mdns"})
        if (s == scheme)
            return true;
    return false;
}

}  // namespace

DeviceTarget TargetOf(std::string_view deviceUri, std::string_view serverHostPort)
{
    const std::string uri(deviceUri.substr(0, deviceUri.find_first_of("?#")));
    const TUrlParts device = SplitUrl(uri, TUrlStart::SchemeOrHost);
    if (device.Scheme != "ipp") {
        const std::string_view scheme = deviceUri.substr(0, deviceUri.find(':'));
        return {{}, NetworkScheme(scheme) ? texts::kDeviceNotAsked + std::string(scheme) + ")" : std::string()};
    }
    if (IsThisMachine(device.Host) && !IsThisMachine(SplitUrl(std::string(serverHostPort), TUrlStart::Host).Host))
        return {{}, texts::kDeviceOnServer};
    return {"http://" + device.Host + ":" + (device.Port.empty() ? std::string("631") : device.Port) + device.Target(), {}};
}

void JudgeDevice(const DeviceLook& device, WatchState& next)
{
    next.device.clear();
    next.deviceDisagrees = false;
    if (!next.reachable || device.uri.empty())
        return;
    if (device.target.url.empty()) {
        next.device = device.target.note;
        return;
    }
    // Only a queue that looks well can disagree: one already stopped or failing says so itself.
    if (!device.looked || PrinterStatusText(next.printer, "").lamp != Lamp::Green || HasError(next.says))
        return;
    std::string problem;
    if (!device.reachable) {
        problem = texts::kDeviceUnreachable;
    } else {
        for (const std::string& reason : device.says.reasons)
            if (LevelOfReason(reason) == ReasonLevel::Error)
                problem += (problem.empty() ? "" : ", ") + reason;
        if (problem.empty() && device.printer.stateText == PrinterStateText(5))
            problem = texts::kDeviceStopped;
    }
    if (problem.empty())
        return;
    next.device = texts::kDeviceCups + next.printer.stateText + next.printer.acceptingText + texts::kDeviceSays +
                  problem;
    next.deviceDisagrees = true;
}

}  // namespace quenlo
