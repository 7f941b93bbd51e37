#include "support/Tinyproxy.h"
#include "support/LocalServers.h"

#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace quenlo::test {

namespace {

const char* const kTinyproxy = "/usr/bin/tinyproxy";

}  // namespace

std::string Tinyproxy::MissingTools()
{
    return ::access(kTinyproxy, X_OK) == 0 ? std::string() : std::string(kTinyproxy) + " is not installed";
}

std::unique_ptr<Tinyproxy> Tinyproxy::TryStart(std::string& why, const std::string& extra)
{
    return StartedOrWhy(MissingTools(), why, [&] { return std::make_unique<Tinyproxy>("quenlo", "s3cret.pw", extra); });
}

Tinyproxy::Tinyproxy(std::string user, std::string password, std::string extra)
    : user_(std::move(user)), password_(std::move(password)), extra_(std::move(extra))
{
    const auto args = [this](int port) {
        return std::vector<std::string>{"tinyproxy", dir_, std::to_string(port), user_, password_, extra_};
    };
    if (StartHarnessPeer(args, dir_ + "/stdout.txt", port_, pid_))
        return;
    throw std::runtime_error("Tinyproxy: did not start:\n" + Log() + ReadWholeFile(dir_ + "/stdout.txt"));
}

Tinyproxy::~Tinyproxy()
{
    Stop();
}

void Tinyproxy::Stop()
{
    StopChildProcess(pid_);
}

std::string Tinyproxy::Log() const
{
    return ReadWholeFile(dir_ + "/tinyproxy.log");
}

}  // namespace quenlo::test
