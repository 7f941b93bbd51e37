// Fuzzes line mode over a real loopback connection: the input chooses the settings, how the bytes
// are split into reads, how much the handler takes per call, and when it switches line mode, and
// the target checks that no byte is lost, duplicated or reordered (without editing) and that an
// offered line is never read past its end.
//
// Input layout:
//   byte 0   settings: bit 0 LineEdit, bit 1 LineEcho, bits 2-3 the terminator (CR LF, LF,
//            "<>", "abc"), bit 4 switch line mode off after the third call and on again later
//   byte 1   handler read size (1 + value % 16)
//   then     chunks: a length byte (1 + value % 24), then that many bytes of data
#include "net/WSocket.h"
#include "platform/EventLoop.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected pair on 127.0.0.1: `ours` for the socket, `peer` written by the target.
bool MakePair(int& ours, int& peer)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (listener >= 0)
            ::close(listener);
        return false;
    }
    peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ours = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (ours < 0 || peer < 0)
        return false;
    int one = 1;
    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

int Waiting(int fd)
{
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// Runs the loop until the socket has taken everything off the connection (bounded).
void Settle(const quenlo::TWSocket& sock)
{
    for (int i = 0; i < 200; ++i) {
        quenlo::platform::ProcessLoopMessages();
        if (sock.HSocket() == quenlo::platform::ws::INVALID_SOCKET || Waiting(sock.HSocket()) == 0)
            break;
    }
    quenlo::platform::ProcessLoopMessages();
}

// Reads and discards what the echo sent back, so the peer's buffer never fills.
void DrainPeer(int peer)
{
    char buf[4096];
    while (::recv(peer, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t settings = data[0];
    const int readSize = 1 + data[1] % 16;
    static const char* const kEnds[] = {"\r\n", "\n", "<>", "abc"};
    const std::string lineEnd = kEnds[(settings >> 2) & 3];
    const bool edit = settings & 1;
    const bool echo = settings & 2;
    const bool switching = settings & 16;

    int ours = -1, peer = -1;
    if (!MakePair(ours, peer)) {
        if (ours >= 0)
            ::close(ours);
        if (peer >= 0)
            ::close(peer);
        return 0;
    }

    std::string fed;
    std::string delivered;
    {
        quenlo::TWSocket sock;
        sock.Dup(ours);
        sock.SetLineMode(true);
        sock.SetLineEnd(lineEnd);
        sock.SetLineEdit(edit);
        sock.SetLineEcho(echo);
        int calls = 0;
        sock.OnDataAvailable = [&](quenlo::TCustomWSocket& s, std::uint16_t) {
            ++calls;
            const bool inLine = sock.LineMode();
            const int offered = s.RcvdCount();
            char buf[16];
            const int n = s.Receive(buf, readSize);
            if (n > 0) {
                delivered.append(buf, static_cast<std::size_t>(n));
                if (inLine && n > offered)
                    __builtin_trap();  // read past the offered line
            }
            if (switching && calls == 3)
                sock.SetLineMode(false);
            if (switching && calls == 9)
                sock.SetLineMode(true);
        };

        std::size_t at = 2;
        while (at < size) {
            const std::size_t length = 1 + data[at++] % 24;
            const std::size_t take = std::min(length, size - at);
            if (take == 0)
                break;
            const std::string chunk(reinterpret_cast<const char*>(data + at), take);
            at += take;
            if (::send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size()))
                break;
            fed += chunk;
            Settle(sock);
            if (echo)
                DrainPeer(peer);
        }
        // The peer closes: the rest arrives as a last line.
        ::close(peer);
        peer = -1;
        for (int i = 0; i < 200 && sock.State() != quenlo::wsClosed; ++i)
            quenlo::platform::ProcessLoopMessages();
        if (sock.State() != quenlo::wsClosed)
            sock.Close();
        if (sock.BufferedCount() != 0)
            __builtin_trap();
    }
    // Every byte, once, in order (editing changes the text, so only its size is bounded then).
    if (!edit && delivered != fed)
        __builtin_trap();
    if (edit && delivered.size() > fed.size() * 8)
        __builtin_trap();
    quenlo::platform::ProcessLoopMessages();
    return 0;
}
