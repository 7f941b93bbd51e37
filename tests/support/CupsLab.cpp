#include "support/CupsLab.h"
#include "support/LocalServers.h"
#include "support/PrivateFiles.h"
#include "net/HttpProt.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace quenlo::test {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kScript = QUENLO_SOURCE_DIR "/scripts/cups-lab.sh";

// Milliseconds left until `deadline`, at least 0, for poll().
int MillisLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ToolPath(const std::string& tool)
{
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        if (Exists(dir + tool))
            return dir + tool;
    }
    return {};
}

std::string Trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Waits for `pid` until the deadline, then kills its process group; returns the exit code or -1.
int Reap(pid_t pid, Clock::time_point deadline)
{
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(10000);
    }
}

// One request through the program's own client, whose wire format the net tests check; a reply
// with an error status is a reply, a failure to get one throws.
HttpReply Exchange(int port, const std::string& pathAndQuery, const std::string* body, const std::string& contentType,
                   std::chrono::milliseconds timeLimit)
{
    THttpCli http;
    http.SetURL("http://127.0.0.1:" + std::to_string(port) + pathAndQuery);
    http.SetRequestTimeout(timeLimit);
    std::istringstream send(body ? *body : std::string());
    std::ostringstream received;
    http.SetReplyStream(&received);
    http.SetPostStream(&send);
    http.SetContentTypePost(contentType);
    try {
        body ? http.Post() : http.Get();
    } catch (const EHttpException& e) {
        if (http.RequestDoneError() != 0 || http.ReplyStatus() < 400)
            throw std::runtime_error("127.0.0.1:" + std::to_string(port) + pathAndQuery + ": " + e.what());
    }
    if (http.ReplyStatus() == 0)
        throw std::runtime_error("reply without a status line from 127.0.0.1:" + std::to_string(port));
    return {http.ReplyStatus(), http.ReplyReason(), received.str()};
}

std::atomic<int> g_uniquePrinter{0};

struct SharedLab {
    std::once_flag once;
    std::unique_ptr<CupsLab> lab;
    std::string problem;
};

SharedLab& SharedSlot(bool auth)
{
    static SharedLab plain;
    static SharedLab guarded;
    return auth ? guarded : plain;
}

CupsLab* SharedLabFor(bool auth)
{
    SharedLab& slot = SharedSlot(auth);
    std::call_once(slot.once, [&] {
        slot.problem = CupsLab::MissingTools();
        if (!slot.problem.empty())
            return;
        try {
            slot.lab = std::make_unique<CupsLab>(auth);
        } catch (const std::exception& e) {
            slot.problem = e.what();
        }
    });
    return slot.lab.get();
}

}  // namespace

bool InCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit)
{
    ProcessResult result;
    if (argv.empty())
        return result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    Fd outRead(outPipe[0]), outWrite(outPipe[1]), errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // The server the script starts lives on; it must not hold the test's own sockets open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that a run past its time limit is killed with all it started.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    outWrite.Reset();
    errWrite.Reset();
    if (rc != 0) {
        result.err = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
        return result;
    }

    const auto deadline = Clock::now() + timeLimit;
    pollfd fds[2] = {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    char buf[4096];
    while (open > 0) {
        int n = ::poll(fds, 2, MillisLeft(deadline));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.exitCode = Reap(pid, deadline);
    return result;
}

HttpReply PostHttp10(int port, const std::string& path, const std::string& body,
                     const std::string& contentType, std::chrono::milliseconds timeLimit)
{
    return Exchange(port, path, &body, contentType, timeLimit);
}

HttpReply GetHttp10(int port, const std::string& pathAndQuery, std::chrono::milliseconds timeLimit)
{
    return Exchange(port, pathAndQuery, nullptr, {}, timeLimit);
}

std::string PostIpp(int port, const std::string& path, const std::string& ippBody)
{
    HttpReply reply = PostHttp10(port, path, ippBody);
    if (reply.status != 200)
        throw std::runtime_error("IPP post to " + path + ": " + std::to_string(reply.status) + " " + reply.reason);
    return reply.body;
}

std::string CupsLab::MissingTools()
{
    std::string missing;
    for (const char* tool : {"cupsd", "lpadmin", "lp", "lpstat", "cupsdisable", "cupsenable", "curl"}) {
        if (ToolPath(tool).empty())
            missing += std::string(missing.empty() ? "" : ", ") + tool;
    }
    if (!Exists("/bin/bash"))
        missing += std::string(missing.empty() ? "" : ", ") + "bash";
    if (missing.empty())
        return {};
    return "not installed: " + missing +
           " (Debian packages cups, cups-client, cups-bsd, curl; scripts/install-deps.sh)";
}

CupsLab::CupsLab(bool auth, const std::string& mode) : auth_(auth)
{
    dir_ = MakePrivateFolder("lab");
    if (dir_.empty())
        throw std::runtime_error(std::string("cannot make the lab's folder: ") + std::strerror(errno));
    // The script removes a directory so marked when it stops the server, also from its watcher.
    std::ofstream(dir_ + "/.remove-on-stop").put('\n');

    std::vector<std::string> args;
    if (auth_)
        args.push_back("--auth");
    args.push_back("--owner");
    args.push_back(std::to_string(::getpid()));
    if (!mode.empty())
        args.push_back(mode);
    ProcessResult r = Script("start", args);
    if (r.exitCode != 0) {
        std::string why = Trimmed(r.err.empty() ? r.out : r.err);
        Script("stop");
        ::rmdir(dir_.c_str());
        throw std::runtime_error("cups-lab.sh start failed: " + why);
    }
    port_ = std::atoi(Trimmed(r.out).c_str());
    running_ = true;
    if (port_ <= 0) {
        Stop();
        throw std::runtime_error("cups-lab.sh start printed no port: " + r.out);
    }
}

CupsLab::~CupsLab()
{
    Stop();
}

CupsLab* CupsLab::Shared()
{
    return SharedLabFor(false);
}

CupsLab* CupsLab::SharedAuth()
{
    return SharedLabFor(true);
}

std::string CupsLab::Unavailable(bool auth)
{
    SharedLab& slot = SharedSlot(auth);
    SharedLabFor(auth);
    return slot.problem;
}

int CupsLab::ServerPid() const
{
    if (!running_)
        return 0;
    return std::atoi(ReadWholeFile(dir_ + "/cupsd.pid").c_str());
}

std::string CupsLab::HostPort() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

std::string CupsLab::PrinterPath(const std::string& printer)
{
    return "/printers/" + printer;
}

std::string CupsLab::PrinterUrl(const std::string& printer) const
{
    return "http://" + HostPort() + PrinterPath(printer);
}

std::string CupsLab::PrinterUri(const std::string& printer) const
{
    return "ipp://" + HostPort() + PrinterPath(printer);
}

void CupsLab::AddPrinter(const std::string& name)
{
    Run("add-printer", {name});
}

std::string CupsLab::AddUniquePrinter(const std::string& prefix)
{
    std::string name = prefix + "-" + std::to_string(++g_uniquePrinter);
    AddPrinter(name);
    return name;
}

void CupsLab::HoldJobs(const std::string& printer, int count, const HoldOptions& options)
{
    std::vector<std::string> args = {printer, std::to_string(count), "--size",
                                     std::to_string(options.size)};
    if (!options.user.empty()) {
        args.push_back("--user");
        args.push_back(options.user);
    }
    if (!options.title.empty()) {
        args.push_back("--title");
        args.push_back(options.title);
    }
    if (options.fast)
        args.push_back("--fast");
    Run("hold-jobs", args);
}

void CupsLab::Pause(const std::string& printer, const std::string& message)
{
    Run("pause", {printer, message});
}

void CupsLab::Resume(const std::string& printer)
{
    Run("resume", {printer});
}

void CupsLab::Stop()
{
    if (!running_)
        return;
    running_ = false;
    Script("stop");
}

ProcessResult CupsLab::Script(const std::string& subcommand, const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = {"/bin/bash", kScript, subcommand, dir_};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv);
}

std::string CupsLab::Run(const std::string& subcommand, const std::vector<std::string>& args) const
{
    ProcessResult r = Script(subcommand, args);
    if (r.exitCode != 0)
        throw std::runtime_error("cups-lab.sh " + subcommand + " failed (exit " +
                                 std::to_string(r.exitCode) + "): " + Trimmed(r.err));
    return r.out;
}

}  // namespace quenlo::test
