// ScriptedPeer: the scripted TCP server of the tests, on 127.0.0.1 (or ::1), on a thread of its
// own, written against the socket layer's own calls so that it serves the same tests on Linux and
// on Windows.
//
// It listens on a free port from construction. Each accepted connection runs the next script, in
// order; with RepeatLast(true) the last one serves every further connection. A connection without
// a script is closed at once. Connections are served one after another. A script is either a
// function of the connection (a Link), closed after it returns, or a fluent list of steps:
//
//     ScriptedPeer server;
//     server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "hello")).Close();
//     server.Serve([](Link& c) { c.Write(c.Read(3)); });  // the next connection: an echo of 3 bytes
//
// Every byte a client sends is recorded per connection (Received), so a test can check the exact
// request. Every wait is bounded, and the destructor ends every step at once, so a test never hangs
// on the peer.
#pragma once

#include "platform/Winsock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quenlo::test {

// One end of a TCP connection, driven by plain calls from one thread: bounded reads that record
// what arrives, whole writes, the three ways to end. It does not own the socket: Close ends it.
class Link {
public:
    using Recorder = std::function<void(const char* data, std::size_t len)>;

    explicit Link(platform::ws::SOCKET socket, Recorder record = {}, const std::atomic<bool>* stop = nullptr)
        : socket_(socket), record_(std::move(record)), stop_(stop) {}

    // Reads what arrives first (at most `max` bytes), waiting up to `limit`; empty when the other
    // side closed or nothing came.
    std::string ReadSome(std::size_t max, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Reads until n bytes came, the other side closed or `limit` passed.
    std::string Read(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Reads whatever arrives within `wait`, until the other side closes.
    std::string ReadFor(std::chrono::milliseconds wait);
    // Reads until the other side closes, or nothing came for `silence`.
    std::string ReadToEnd(std::chrono::milliseconds silence = std::chrono::seconds(10));
    // Reads until the end of an HTTP request header (an empty line) and the number of body bytes
    // its "Content-Length" announces, at most 10 s; false when the other side closed first.
    bool ReadRequest();
    // Waits until the other side closes (at most `limit`), recording what it still sends.
    void WaitForClose(std::chrono::milliseconds limit = std::chrono::seconds(5)) { ReadFor(limit); }
    // Writes all the bytes; false when the connection failed first.
    bool Write(std::string_view bytes);

    // shutdown: 0 receive, 1 send, 2 both.
    void Shutdown(int how);
    // Closes with a reset (RST) instead of the orderly close.
    void Reset();
    void Close();

    // The other side has closed (or the connection failed).
    bool PeerClosed() const { return peerClosed_; }
    bool Stopping() const { return stop_ && *stop_; }
    platform::ws::SOCKET Socket() const { return socket_; }

private:
    platform::ws::SOCKET socket_;
    Recorder record_;
    const std::atomic<bool>* stop_;
    bool peerClosed_ = false;
};

// A connected pair on 127.0.0.1: `near` for the code under test to adopt, `far` driven by the
// test itself (TCP_NODELAY, so each Write goes out at once). Throws when it cannot be made.
struct LoopbackPair {
    platform::ws::SOCKET near;
    Link far;
};
LoopbackPair ConnectLoopbackPair();

// A port on 127.0.0.1 where nothing listens (bound, then released).
std::uint16_t RefusingPort();

// A stream socket bound to 127.0.0.1 (::1 with `ipv6`) on a port the system picks, written to
// `port`; INVALID_SOCKET when none could be made.
platform::ws::SOCKET BoundLoopback(bool ipv6, std::uint16_t& port);

class ScriptedPeer {
public:
    using Script = std::function<void(Link&)>;

    // A script as a list of steps. Ends with an orderly close unless it ends with Reset or Hold.
    class Steps {
    public:
        Steps& ReadRequest();
        // Writes the bytes (all of them).
        Steps& Send(std::string bytes);
        // Writes the bytes in pieces of `pieceSize`, waiting `gap` after each piece, so the client
        // sees them in separate reads.
        Steps& SendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds gap);
        // Waits, still recording what the client sends.
        Steps& Wait(std::chrono::milliseconds duration);
        // Orderly close: no more writes, then up to 2 s of reading until the client closes too.
        Steps& Close();
        // Closes with a reset (RST).
        Steps& Reset();
        // Never answers: keeps the connection open, recording, until the client closes it or the
        // peer is destroyed.
        Steps& Hold();

        void Run(Link& link) const;

    private:
        std::vector<std::function<bool(Link&)>> steps_;  // false: the connection is over
    };

    struct Options {
        bool ipv6 = false;
        // Above 0: the SO_RCVBUF of the listener, which the accepted sockets inherit (little room
        // in flight, so a client's sends back up).
        int receiveBuffer = 0;
    };

    ScriptedPeer() : ScriptedPeer(Options{}) {}
    explicit ScriptedPeer(Options options);
    // Serves the next `count` connections with `script`.
    explicit ScriptedPeer(Script script, int count = 1);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Adds the steps of the next connection. Add scripts before the client connects.
    Steps& Connection();
    // The next `count` connections run `script`.
    void Serve(Script script, int count = 1);
    void RepeatLast(bool repeat);

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path = "/") const;

    // Connections accepted so far.
    std::size_t Connections() const;
    // Connections whose scripts have run to their end.
    std::size_t Finished() const;
    // What the client sent on connection `index` (accept order); empty when there is none.
    std::string Received(std::size_t index = 0) const;
    // Waits until `count` connections have run their scripts to the end, at most `timeout`.
    bool WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits (at most 15 s) until every script added so far has run, so what they stored can be read.
    void Join() const;

    // Sends back every byte it receives until the client closes.
    static void Echo(Link& link);

    // A whole HTTP/1.1 response: status line, Content-Type and Content-Length, empty line, body.
    static std::string Response(int status, const std::string& reason, const std::string& body,
                                const std::string& contentType = "text/plain");

private:
    void Run();
    void ServeOne(platform::ws::SOCKET socket);

    platform::ws::SOCKET listener_ = platform::ws::INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Steps> steps_;  // stable addresses: scripts refer to them
    std::vector<Script> scripts_;
    bool repeatLast_ = false;
    std::vector<std::string> received_;
    std::size_t finished_ = 0;
    std::thread thread_;
};

// Sends back every byte it receives, on every connection (one after another), until destroyed.
class EchoPeer : public ScriptedPeer {
public:
    explicit EchoPeer(Options options = {}) : ScriptedPeer(options)
    {
        Serve(Echo);
        RepeatLast(true);
    }
};

// The request line of a request the peer received.
inline std::string RequestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

}  // namespace quenlo::test
