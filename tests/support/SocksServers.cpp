#include "support/SocksServers.h"
#include "support/LocalServers.h"

#include <stdexcept>

#include <unistd.h>

namespace quenlo::test {

namespace {

const char* const kDante = "/usr/sbin/danted";
const char* const kMicrosocks = "/usr/bin/microsocks";

}  // namespace

// ---------------------------------------------------------------------------------------------
// SocksDaemon

std::string SocksDaemon::MissingTools(const Config& config)
{
    const char* program = config.program == Config::Program::Dante ? kDante : kMicrosocks;
    return ::access(program, X_OK) == 0 ? std::string() : std::string(program) + " is not installed";
}

std::unique_ptr<SocksDaemon> SocksDaemon::TryStart(const Config& config, std::string& why)
{
    return StartedOrWhy(MissingTools(config), why, [&] { return std::make_unique<SocksDaemon>(config); });
}

SocksDaemon::SocksDaemon(Config config)
    : config_(std::move(config))
{
    const auto args = [this](int port) {
        std::vector<std::string> words;
        if (config_.program == Config::Program::Dante) {
            words = {"dante", dir_, std::to_string(port)};
            words.insert(words.end(), config_.methods.begin(), config_.methods.end());
        } else {
            words = {"microsocks", std::to_string(port)};
            if (!config_.user.empty())
                words.insert(words.end(), {config_.user, config_.password});
        }
        return words;
    };
    // dante listens on [::1] as well (harness.sh), and the tests reach it there too.
    if (StartHarnessPeer(args, dir_ + "/output.txt", port_, pid_, config_.program == Config::Program::Dante))
        return;
    throw std::runtime_error("SocksDaemon: did not start:\n" + Log());
}

SocksDaemon::~SocksDaemon()
{
    Stop();
}

void SocksDaemon::Stop()
{
    StopChildProcess(pid_);
}

std::string SocksDaemon::Log() const
{
    return ReadWholeFile(dir_ + "/danted.log") + ReadWholeFile(dir_ + "/output.txt");
}

}  // namespace quenlo::test
