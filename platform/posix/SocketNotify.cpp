// Socket readiness turned into WM_SOCKET_EVENT-style messages (WSAAsyncSelect).
//
// epoll is used level-triggered, and a socket's interest set holds only the conditions that may
// still be reported: FD_READ leaves the set when it is posted and comes back with the next receive
// call, FD_WRITE is in the set only after a send was refused, FD_CLOSE leaves it once posted. So a
// readable socket that nobody reads costs nothing, and a receive that leaves bytes behind is
// reported again simply because the level is still high when the interest returns.
//
// Once the peer has closed, EPOLLIN stays high for the end of stream and EPOLLHUP cannot be masked
// at all, so such a socket leaves epoll; what is left to report then (bytes still waiting after a
// receive, a re-registration) is checked directly with poll() and FIONREAD.

#include "platform/posix/LoopInternal.h"
#include "platform/Winsock.h"

#include <cerrno>
#include <mutex>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace quenlo::platform::detail {

namespace {

using ws::FD_ACCEPT;
using ws::FD_CLOSE;
using ws::FD_CONNECT;
using ws::FD_READ;
using ws::FD_WRITE;

enum class Phase {
    Dormant,     // a stream socket not yet connecting or listening: nothing to watch
    Connecting,  // waiting for the outcome of a non-blocking connect
    Connected,
    Listening,
    Datagram,
};

struct Watch {
    int fd = -1;
    std::uint64_t key = 0;  // epoll data: fd and a serial, so a reused number is never mistaken
    Loop* loop = nullptr;
    ino_t inode = 0;        // identity of the open socket behind the number
    HWND hwnd = 0;
    unsigned message = 0;
    long events = 0;
    Phase phase = Phase::Dormant;
    bool readArmed = false;
    bool writeArmed = false;
    bool acceptArmed = false;
    bool closeArmed = false;
    bool peerClosed = false;  // end of stream seen (FIN, reset or failed connect)
    bool hungUp = false;      // nothing more can happen on the connection
    int closeError = 0;       // Windows Sockets number the FD_CLOSE carries
    std::uint32_t interest = 0;  // current epoll set; 0 = not in epoll
};

struct Post {
    long bits = 0;
    int error = 0;
};

std::mutex watchMutex;
std::unordered_map<int, std::unique_ptr<Watch>>& watches()
{
    static auto* map = new std::unordered_map<int, std::unique_ptr<Watch>>;
    return *map;
}
std::uint64_t nextSerial = 1;

Watch* find(int fd)
{
    auto it = watches().find(fd);
    return it == watches().end() ? nullptr : it->second.get();
}

bool wants(const Watch& w, long bit) { return (w.events & bit) != 0; }

int takeSocketError(int fd)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return errno;
    return error;
}

int bytesWaiting(int fd)
{
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

// A reset that comes after the peer's FIN is reported by the kernel as EPIPE; to the user it is
// still a reset.
int closeErrorFrom(int errnum)
{
    return errnum == EPIPE ? ws::WSAECONNRESET : ws::WsaErrorFromErrno(errnum);
}

Phase phaseOf(int fd)
{
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type != SOCK_STREAM)
        return Phase::Datagram;
    int listening = 0;
    len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
        return Phase::Listening;
    tcp_info info{};
    len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0) {
        switch (info.tcpi_state) {
        case TCP_SYN_SENT:
        case TCP_SYN_RECV:
            return Phase::Connecting;
        case TCP_CLOSE:
            return Phase::Dormant;
        case TCP_LISTEN:
            return Phase::Listening;
        default:
            return Phase::Connected;
        }
    }
    sockaddr_storage peer{};
    len = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 ? Phase::Connected
                                                                              : Phase::Dormant;
}

std::uint32_t desiredInterest(const Watch& w)
{
    if (w.events == 0 || w.message == 0 || w.hungUp)
        return 0;
    std::uint32_t set = 0;
    switch (w.phase) {
    case Phase::Dormant:
        break;
    case Phase::Connecting:
        set = EPOLLOUT;  // completion and failure both show as writable or error
        break;
    case Phase::Listening:
        if (w.acceptArmed && wants(w, FD_ACCEPT))
            set = EPOLLIN;
        break;
    case Phase::Datagram:
        if (w.readArmed && wants(w, FD_READ))
            set |= EPOLLIN;
        if (w.writeArmed && wants(w, FD_WRITE))
            set |= EPOLLOUT;
        break;
    case Phase::Connected:
        if (!w.peerClosed && w.readArmed && wants(w, FD_READ))
            set |= EPOLLIN;
        if (!w.peerClosed && w.closeArmed && wants(w, FD_CLOSE))
            set |= EPOLLRDHUP;
        if (w.writeArmed && wants(w, FD_WRITE))
            set |= EPOLLOUT;
        break;
    }
    return set;
}

ino_t inodeOf(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return 0;
    return st.st_ino;
}

// The descriptor was closed without closesocket and its number may now belong to another socket:
// the registration must never be applied to that one.
void disableStale(Watch& w)
{
    w.events = 0;
    w.message = 0;
    w.interest = 0;
}

void applyInterest(Watch& w)
{
    const std::uint32_t want = desiredInterest(w);
    if (want == w.interest)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = w.key;
    if (want == 0) {
        ::epoll_ctl(w.loop->epollFd, EPOLL_CTL_DEL, w.fd, nullptr);
    } else if (w.interest == 0) {
        if (inodeOf(w.fd) != w.inode)
            return disableStale(w);
        if (::epoll_ctl(w.loop->epollFd, EPOLL_CTL_ADD, w.fd, &ev) != 0 && errno == EEXIST)
            ::epoll_ctl(w.loop->epollFd, EPOLL_CTL_MOD, w.fd, &ev);
    } else if (::epoll_ctl(w.loop->epollFd, EPOLL_CTL_MOD, w.fd, &ev) != 0 && errno == ENOENT) {
        // Closing a descriptor takes it out of epoll: this one was closed behind our back.
        return disableStale(w);
    }
    w.interest = want;
}

void reactConnected(Watch& w, std::uint32_t revents, std::vector<Post>& posts, long bits)
{
    int error = 0;
    if (revents & (EPOLLERR | EPOLLHUP)) {
        if (!w.hungUp) {
            const int so = takeSocketError(w.fd);
            error = so == 0 ? 0 : closeErrorFrom(so);
        }
        w.hungUp = true;
        w.peerClosed = true;
    }
    if (revents & EPOLLRDHUP)
        w.peerClosed = true;
    if ((revents & EPOLLIN) && w.readArmed && wants(w, FD_READ)) {
        // At end of stream EPOLLIN is high with nothing to read: that is FD_CLOSE's business.
        if (!w.peerClosed || bytesWaiting(w.fd) > 0) {
            bits |= FD_READ;
            w.readArmed = false;
        }
    }
    if ((revents & EPOLLOUT) && !w.hungUp && w.writeArmed && wants(w, FD_WRITE)) {
        bits |= FD_WRITE;
        w.writeArmed = false;
    }
    long closeBits = 0;
    if (w.peerClosed && w.closeArmed) {
        w.closeArmed = false;
        if (error != 0)
            w.closeError = error;
        if (wants(w, FD_CLOSE))
            closeBits = FD_CLOSE;
    }
    // Conditions found together go out together; only a close carrying an error is sent on its
    // own after the rest, so that the read and write bits are not reported with the reset number.
    if (closeBits && w.closeError != 0) {
        if (bits)
            posts.push_back({bits, 0});
        posts.push_back({closeBits, w.closeError});
    } else if (bits | closeBits) {
        posts.push_back({bits | closeBits, 0});
    }
}

void react(Watch& w, std::uint32_t revents, std::vector<Post>& posts)
{
    switch (w.phase) {
    case Phase::Dormant:
        return;
    case Phase::Connecting: {
        if (!(revents & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            return;
        const int so = takeSocketError(w.fd);
        // A reset is no failed connect: the handshake had completed (a refused one reads
        // ECONNREFUSED), and a loop that looks late sees the connect and the peer's reset at once.
        // The connect then succeeds and the close carries the reset.
        const bool resetAfterConnect = so == ECONNRESET || so == EPIPE;
        if (so != 0 && !resetAfterConnect) {
            // A failed connect reports FD_CONNECT with the error and nothing else.
            w.phase = Phase::Connected;
            w.hungUp = w.peerClosed = true;
            w.closeArmed = false;
            if (wants(w, FD_CONNECT))
                posts.push_back({FD_CONNECT, ws::WsaErrorFromErrno(so)});
            return;
        }
        w.phase = Phase::Connected;
        long bits = 0;
        if (wants(w, FD_CONNECT))
            bits |= FD_CONNECT;
        if (wants(w, FD_WRITE))
            bits |= FD_WRITE;  // the one write notification a completed connect gives
        w.writeArmed = false;
        if (resetAfterConnect) {
            w.hungUp = w.peerClosed = true;  // the error is taken: reactConnected must not look again
            w.closeError = closeErrorFrom(so);
        }
        reactConnected(w, revents & ~std::uint32_t{EPOLLOUT}, posts, bits);
        return;
    }
    case Phase::Connected:
        reactConnected(w, revents, posts, 0);
        return;
    case Phase::Listening:
        if (revents & (EPOLLERR | EPOLLHUP))
            w.hungUp = true;
        if ((revents & EPOLLIN) && w.acceptArmed && wants(w, FD_ACCEPT)) {
            w.acceptArmed = false;
            posts.push_back({FD_ACCEPT, 0});
        }
        return;
    case Phase::Datagram: {
        long bits = 0;
        int error = 0;
        if (revents & EPOLLERR) {
            // An ICMP error on a datagram socket; taken here so that it cannot keep epoll awake.
            error = ws::WsaErrorFromErrno(takeSocketError(w.fd));
            revents |= EPOLLIN;
        }
        if ((revents & EPOLLIN) && w.readArmed && wants(w, FD_READ)) {
            bits |= FD_READ;
            w.readArmed = false;
        }
        if ((revents & EPOLLOUT) && w.writeArmed && wants(w, FD_WRITE)) {
            bits |= FD_WRITE;
            w.writeArmed = false;
        }
        if (bits)
            posts.push_back({bits, (bits & FD_READ) ? error : 0});
        return;
    }
    }
}

void postAll(const Watch& w, const std::vector<Post>& posts)
{
    for (const Post& p : posts) {
        const MSG msg{w.hwnd, w.message, static_cast<WPARAM>(w.fd),
                      ws::WSAMAKESELECTREPLY(static_cast<unsigned>(p.bits), static_cast<unsigned>(p.error))};
        PostEntry(QueueEntry{msg, w.fd, false});
    }
}

// Looks at the socket's current condition directly, for what epoll is not watching.
void checkNow(Watch& w)
{
    if (w.phase == Phase::Dormant || w.phase == Phase::Connecting || w.events == 0 || w.message == 0)
        return;
    if (inodeOf(w.fd) != w.inode)
        return disableStale(w);
    pollfd p{w.fd, static_cast<short>(POLLIN | POLLOUT | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) <= 0)
        return;
    std::uint32_t revents = static_cast<std::uint32_t>(p.revents) & (EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLERR | EPOLLHUP);
    // A hang-up already reported keeps its stored error; do not take a fresh (empty) one.
    if (w.hungUp)
        revents &= ~std::uint32_t{EPOLLERR | EPOLLHUP};
    std::vector<Post> posts;
    react(w, revents, posts);
    postAll(w, posts);
}

void erase(Watch& w)
{
    const int fd = w.fd;
    if (w.interest != 0)
        ::epoll_ctl(w.loop->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    w.loop->queue->purge([fd](const QueueEntry& e) { return e.sourceFd == fd; });
    watches().erase(fd);
}

// The calling thread's watch of this open socket, or nullptr. One left by another thread, or by a
// socket that had the number before and was closed behind our back, is dropped.
Watch* currentWatch(int fd, ino_t inode)
{
    Watch* w = find(fd);
    if (w && (w->loop != &CurrentLoop() || w->inode != inode)) {
        erase(*w);
        w = nullptr;
    }
    return w;
}

Watch& addWatch(int fd, ino_t inode, Phase phase)
{
    auto fresh = std::make_unique<Watch>();
    fresh->fd = fd;
    fresh->key = (nextSerial++ << 32) | static_cast<std::uint32_t>(fd);
    fresh->loop = &CurrentLoop();
    fresh->inode = inode;
    fresh->phase = phase;
    Watch& w = *fresh;
    watches()[fd] = std::move(fresh);
    return w;
}

int registerLocked(int fd, HWND hwnd, unsigned message, long events)
{
    const ino_t inode = inodeOf(fd);
    if (inode == 0)
        return ws::WSAENOTSOCK;
    Watch* w = currentWatch(fd, inode);
    if (message == 0 || events == 0) {
        if (w) {
            w->events = 0;
            w->message = 0;
            applyInterest(*w);
        }
        return 0;
    }
    if (!IsMessageTarget(hwnd))
        return ws::WSAEINVAL;
    if (!w)
        w = &addWatch(fd, inode, phaseOf(fd));
    w->hwnd = hwnd;
    w->message = message;
    w->events = events;
    // A new registration reports what already holds, as a first registration would.
    w->readArmed = w->acceptArmed = w->closeArmed = true;
    w->writeArmed = w->phase == Phase::Connected || w->phase == Phase::Datagram;
    checkNow(*w);
    applyInterest(*w);
    return 0;
}

}  // namespace

void HandleSocketReady(Loop& loop, std::uint64_t key, std::uint32_t revents)
{
    std::lock_guard lock(watchMutex);
    Watch* w = find(static_cast<int>(key & 0xFFFFFFFFu));
    if (!w || w->key != key || w->loop != &loop)
        return;
    std::vector<Post> posts;
    react(*w, revents, posts);
    postAll(*w, posts);
    applyInterest(*w);
}

void DropLoopSockets(Loop& loop)
{
    std::lock_guard lock(watchMutex);
    std::erase_if(watches(), [&loop](const auto& entry) { return entry.second->loop == &loop; });
}

std::size_t LoopSocketCount(const Loop& loop)
{
    std::lock_guard lock(watchMutex);
    std::size_t n = 0;
    for (const auto& entry : watches())
        n += entry.second->loop == &loop ? 1 : 0;
    return n;
}

int AsyncSelect(int fd, HWND hwnd, unsigned message, long events)
{
    std::lock_guard lock(watchMutex);
    return registerLocked(fd, hwnd, message, events);
}

bool NoteConnect(int fd, int rc, int errnum)
{
    std::lock_guard lock(watchMutex);
    Watch* w = find(fd);
    if (!w || w->phase == Phase::Datagram)
        return false;
    if (rc == 0 || errnum == EINPROGRESS) {
        w->phase = Phase::Connecting;
        w->hungUp = w->peerClosed = false;
        w->closeError = 0;
        applyInterest(*w);
        return false;
    }
    switch (errnum) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        break;
    default:
        return false;
    }
    // The answer came back before connect() returned (a refusal on the loopback does): report it
    // the way a slower answer would be, so callers see one behaviour.
    if (w->events == 0 || w->message == 0 || !wants(*w, FD_CONNECT))
        return false;
    w->phase = Phase::Connected;
    w->hungUp = w->peerClosed = true;
    w->closeArmed = false;
    postAll(*w, {Post{FD_CONNECT, ws::WsaErrorFromErrno(errnum)}});
    applyInterest(*w);
    return true;
}

void NoteListening(int fd)
{
    std::lock_guard lock(watchMutex);
    if (Watch* w = find(fd)) {
        w->phase = Phase::Listening;
        w->acceptArmed = true;
        applyInterest(*w);
    }
}

void RearmRead(int fd)
{
    std::lock_guard lock(watchMutex);
    Watch* w = find(fd);
    if (!w || w->readArmed)
        return;
    w->readArmed = true;
    if (w->peerClosed)
        checkNow(*w);  // not in epoll any more for reading
    applyInterest(*w);
}

void NoteReceiveFailed(int fd, int errnum)
{
    if (errnum != ECONNRESET)
        return;
    std::lock_guard lock(watchMutex);
    Watch* w = find(fd);
    if (w && w->closeError == 0)
        w->closeError = closeErrorFrom(errnum);
}

void RearmWrite(int fd)
{
    std::lock_guard lock(watchMutex);
    Watch* w = find(fd);
    if (!w || w->writeArmed)
        return;
    w->writeArmed = true;
    applyInterest(*w);
}

void RearmAccept(int fd)
{
    std::lock_guard lock(watchMutex);
    Watch* w = find(fd);
    if (!w || w->acceptArmed)
        return;
    w->acceptArmed = true;
    applyInterest(*w);
}

void NoteAccepted(int listener, int accepted)
{
    std::lock_guard lock(watchMutex);
    const ino_t inode = inodeOf(accepted);
    if (inode == 0)
        return;
    // accept hands out only connections that were set up, but one the peer has reset since reads
    // like a socket that never connected. Known as a connection from the start, it reports the
    // reset as its close, whenever it is registered.
    if (!currentWatch(accepted, inode))
        addWatch(accepted, inode, Phase::Connected);
    const Watch* l = find(listener);
    if (l && l->events != 0 && l->message != 0 && l->loop == &CurrentLoop())
        registerLocked(accepted, l->hwnd, l->message, l->events);
}

void ForgetSocket(int fd)
{
    std::lock_guard lock(watchMutex);
    if (Watch* w = find(fd))
        erase(*w);
}

}  // namespace quenlo::platform::detail
