#include "support/Tinyproxy.h"
#include "support/LocalServers.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
    why = MissingTools();
    if (!why.empty())
        return nullptr;
    try {
        return std::make_unique<Tinyproxy>("quenlo", "s3cret.pw", extra);
    } catch (const std::exception& e) {
        why = e.what();
        return nullptr;
    }
}

Tinyproxy::Tinyproxy(std::string user, std::string password, std::string extra)
    : user_(std::move(user)), password_(std::move(password)), extra_(std::move(extra))
{
    char pattern[] = "/tmp/quenlo-tinyproxy-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("Tinyproxy: mkdtemp failed");
    dir_ = pattern;
    // tinyproxy drops to its own user when started as root; it must still write its log here.
    ::chmod(dir_.c_str(), 0777);

    std::string lastLog;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeLoopbackPort();
        const std::string conf = dir_ + "/tinyproxy.conf";
        {
            std::ofstream out(conf);
            if (::geteuid() == 0)
                out << "User nobody\nGroup nogroup\n";
            out << "Port " << port_ << "\n"
                << "Listen 127.0.0.1\n"
                << "Timeout 30\n"
                << "LogFile \"" << dir_ << "/tinyproxy.log\"\n"
                << "LogLevel Info\n"
                << "MaxClients 50\n"
                << "Allow 127.0.0.1\n"
                << "BasicAuth " << user_ << " " << password_ << "\n"
                << "DisableViaHeader Yes\n"
                << extra_;
        }
        std::string argv0 = kTinyproxy, d = "-d", c = "-c", confArg = conf;
        char* argv[] = {argv0.data(), d.data(), c.data(), confArg.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = dir_ + "/stdout.txt";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = ::posix_spawn(&pid_, kTinyproxy, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("Tinyproxy: cannot start " + std::string(kTinyproxy));
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;  // it ended (port taken, bad config): try another port
            }
            if (LoopbackAccepts(port_))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        lastLog = Log() + ReadWholeFile(dir_ + "/stdout.txt");
        Stop();
    }
    RemoveDir();
    throw std::runtime_error("Tinyproxy: did not start:\n" + lastLog);
}

Tinyproxy::~Tinyproxy()
{
    Stop();
    RemoveDir();
}

void Tinyproxy::RemoveDir()
{
    if (dir_.empty())
        return;
    for (const char* name : {"/tinyproxy.conf", "/tinyproxy.log", "/stdout.txt"})
        ::unlink((dir_ + name).c_str());
    ::rmdir(dir_.c_str());
    dir_.clear();
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
