// FakeServer: a scripted TCP server on 127.0.0.1 for tests, on its own thread.
//
// It listens on a free port (port 0) from construction. Each accepted connection runs the next
// script added with Connection(), in order; with RepeatLast(true) the last script serves every
// further connection (for a server that relocates forever, say). A connection without a script is
// closed at once. Connections are served one after another.
//
//     FakeServer server;
//     server.Connection().ReadRequest().Send(FakeServer::Response(200, "OK", "hello")).Close();
//     http.SetURL(server.Url("/x"));
//     ...
//     EXPECT_EQ(server.Received(0), "GET /x HTTP/1.0\r\n...");
//
// Every byte a client sends is recorded per connection, so a test can check the exact request
// line and the order of the header lines. Reads are bounded (ReadRequest waits at most 10 s), and
// the destructor ends every step at once, so a test never hangs on the server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quenlo::test {

class FakeServer {
public:
    class Script {
    public:
        // Reads until the end of a request header (an empty line) and then the number of body
        // bytes its "Content-Length" announces.
        Script& ReadRequest();
        // Writes the bytes (all of them).
        Script& Send(std::string bytes);
        // Writes the bytes in pieces of `pieceSize`, waiting `gap` after each piece, so the client
        // sees them in separate reads.
        Script& SendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds gap);
        // Waits, still recording what the client sends.
        Script& Wait(std::chrono::milliseconds duration);
        // Orderly close: no more writes, then up to 2 s of reading until the client closes too.
        // A script that ends without Close/Reset/Hold closes this way.
        Script& Close();
        // Closes with a reset (RST) instead.
        Script& Reset();
        // Never answers: keeps the connection open, recording, until the client closes it or
        // the server is destroyed.
        Script& Hold();

    private:
        friend class FakeServer;
        enum class Kind { ReadRequest, Send, Wait, Close, Reset, Hold };
        struct Step {
            Kind kind;
            std::string bytes;
            std::size_t pieceSize = 0;
            std::chrono::milliseconds delay{0};
        };
        std::vector<Step> steps_;
    };

    FakeServer();
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    // Adds the script of the next connection. Add scripts before the client connects.
    Script& Connection();
    void RepeatLast(bool repeat);

    std::uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path = "/") const;

    // Connections accepted so far.
    std::size_t Connections() const;
    // What the client sent on connection `index` (accept order); empty when there is none.
    std::string Received(std::size_t index) const;
    // Waits until `count` connections have run their scripts to the end, at most `timeout`.
    bool WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const;

    // A whole HTTP/1.1 response: status line, Content-Type and Content-Length, empty line, body.
    static std::string Response(int status, const std::string& reason, const std::string& body,
                                const std::string& contentType = "text/plain");

private:
    void Run();
    void Serve(int fd, const Script& script, std::size_t index);
    bool ReadRequestOn(int fd, std::size_t index);
    bool WriteAll(int fd, const std::string& bytes);
    // Reads what is waiting (up to `timeout`) into the record; false once the peer has closed.
    bool ReadSome(int fd, std::size_t index, std::chrono::milliseconds timeout);
    void Record(std::size_t index, const char* data, std::size_t len);

    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Script> scripts_;
    bool repeatLast_ = false;
    std::vector<std::string> received_;
    std::size_t finished_ = 0;
    std::thread thread_;
};

}  // namespace quenlo::test
