#include "support/IppEvePrinter.h"
#include "support/LocalServers.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quenlo::test {

namespace {

const char* const kPrinter = "/usr/sbin/ippeveprinter";
const char* const kBus = "/usr/bin/dbus-daemon";
const char* const kDiscovery = "/usr/sbin/avahi-daemon";
const char* const kUnshare = "/usr/bin/unshare";

constexpr auto kStartLimit = std::chrono::seconds(15);

bool Exited(pid_t& pid)
{
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid)
        pid = -1;
    return pid <= 0;
}

}  // namespace

std::string IppEvePrinter::MissingTools()
{
    for (const char* tool : {kPrinter, kBus, kDiscovery, kUnshare})
        if (::access(tool, X_OK) != 0)
            return std::string(tool) + " is not installed";
    return {};
}

std::unique_ptr<IppEvePrinter> IppEvePrinter::TryStart(std::string& why)
{
    return StartedOrWhy(MissingTools(), why, [&] { return std::make_unique<IppEvePrinter>(); });
}

IppEvePrinter::IppEvePrinter(std::string name) : name_(std::move(name))
{
    try {
        StartBus();
        StartDiscovery();
        const auto until = std::chrono::steady_clock::now() + kStartLimit;
        // The printer gives up at once while the discovery daemon is still coming up, and a
        // free port may be taken meanwhile: try again until the limit.
        while (std::chrono::steady_clock::now() < until) {
            if (StartPrinter())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } catch (const std::exception&) {
    }
    const std::string log = Log();
    Stop();
    throw std::runtime_error("IppEvePrinter: did not start:\n" + log);
}

IppEvePrinter::~IppEvePrinter()
{
    Stop();
}

void IppEvePrinter::StartBus()
{
    {
        std::ofstream conf(dir_ + "/bus.conf");
        conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig><type>system</type><listen>unix:path="
             << dir_ << "/bus</listen><auth>EXTERNAL</auth>\n"
             << "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    }
    busPid_ = Spawn({kBus, "--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile"}, dir_ + "/bus.log", {},
                    true);
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    struct stat st{};
    while (::stat((dir_ + "/bus").c_str(), &st) != 0) {
        if (Exited(busPid_) || std::chrono::steady_clock::now() >= until)
            throw std::runtime_error("no bus");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void IppEvePrinter::StartDiscovery()
{
    {
        std::ofstream conf(dir_ + "/avahi.conf");
        conf << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n"
                "[publish]\npublish-addresses=no\npublish-hinfo=no\npublish-workstation=no\n";
    }
    // The daemon's lock file sits at a fixed path: a private mount over its directory lets
    // several fixtures (and a daemon of the machine) run side by side.
    const std::string script = "mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon && exec " +
                               std::string(kDiscovery) + " -f '" + dir_ +
                               "/avahi.conf' --no-drop-root --no-chroot --no-proc-title --no-rlimits";
    discoveryPid_ = Spawn({kUnshare, "-m", "--propagation", "private", "/bin/sh", "-c", script},
                          dir_ + "/avahi.log", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_ + "/bus", true);
    if (discoveryPid_ <= 0)
        throw std::runtime_error("no discovery daemon");
}

bool IppEvePrinter::StartPrinter()
{
    if (Exited(discoveryPid_))
        throw std::runtime_error("the discovery daemon ended");
    port_ = FreeLoopbackPort();
    return SpawnPrinter();
}

bool IppEvePrinter::SpawnPrinter()
{
    // "*" makes it listen on the loopback addresses (IPv4 and IPv6) and nowhere else. It still needs
    // the discovery daemon to start, but advertises nothing: no test browses for it, and the
    // daemon's registration callbacks are where it once aborted on a loaded machine.
    std::vector<std::string> argv{kPrinter, "-n", "*", "-p", std::to_string(port_), "-d", dir_, "-r", "off"};
    if (!jobCommand_.empty())
        argv.insert(argv.end(), {"-c", jobCommand_});
    argv.push_back(name_);
    printerPid_ = Spawn(argv, dir_ + "/printer.log", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_ + "/bus", true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        if (Exited(printerPid_))
            return false;
        if (LoopbackAccepts(port_)) {
            // Another server may have taken the port first: the printer then gives up at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return !Exited(printerPid_);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopChildProcess(printerPid_);
    return false;
}

void IppEvePrinter::KillPrinter()
{
    StopChildProcess(printerPid_);
}

bool IppEvePrinter::RestartPrinter()
{
    KillPrinter();
    // The port may not be free again at once on a loaded machine: tried again for a while.
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    do {
        if (SpawnPrinter())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

bool IppEvePrinter::SlowJobs(int seconds)
{
    jobCommand_ = dir_ + "/slow-job";
    std::ofstream(jobCommand_) << "#!/bin/sh\nexec sleep " << seconds << "\n";
    std::filesystem::permissions(jobCommand_, std::filesystem::perms::owner_all);
    return RestartPrinter();
}

void IppEvePrinter::Stop()
{
    StopChildProcess(printerPid_);
    StopChildProcess(discoveryPid_);
    StopChildProcess(busPid_);
}

std::string IppEvePrinter::Log() const
{
    return ReadWholeFile(dir_ + "/bus.log") + ReadWholeFile(dir_ + "/avahi.log") +
           ReadWholeFile(dir_ + "/printer.log");
}

}  // namespace quenlo::test
