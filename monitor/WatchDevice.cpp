#include "monitor/WatchDevice.h"

#include "monitor/MonitorTexts.h"
#include "net/HttpProt.h"

namespace quenlo {

namespace {

// "host" of "host:port", "[v6]" of "[v6]:port".
std::string_view HostOf(std::string_view hostPort)
{
    if (!hostPort.empty() && hostPort.front() == '[')
        return hostPort.substr(0, hostPort.find(']') + 1);
    return hostPort.substr(0, hostPort.find(':'));
}

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
    const std::string_view scheme = deviceUri.substr(0, deviceUri.find(':'));
    const std::size_t schemeEnd = deviceUri.find("://");
    if (schemeEnd == std::string_view::npos || scheme != "ipp")
        return {{}, NetworkScheme(scheme) ? texts::kDeviceNotAsked + std::string(scheme) + ")" : std::string()};
    std::string_view rest = deviceUri.substr(schemeEnd + 3);
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string_view hostPort = rest.substr(0, rest.find('/'));
    const std::string_view path = rest.substr(hostPort.size());
    if (const std::size_t at = hostPort.rfind('@'); at != std::string_view::npos)
        hostPort.remove_prefix(at + 1);
    if (IsThisMachine(std::string(HostOf(hostPort))) && !IsThisMachine(std::string(HostOf(serverHostPort))))
        return {{}, texts::kDeviceOnServer};
    std::string url = "http://" + std::string(hostPort);
    if (HostOf(hostPort).size() == hostPort.size())
        url += ":631";
    return {url + (path.empty() ? std::string("/") : std::string(path)), {}};
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
