// A small HTTP/1.x server for read-only pages: THttpRequestParser reads one request head from bytes
// handed to it, THttpListener accepts connections on the socket layer and answers each with one
// response, then closes it.
//
// The listener is meant to face whatever reaches its port, so everything a client holds is
// bounded: a request head of at most THttpRequestParser::kLimit bytes (longer: 431, or 414 while
// still in the request line), kRequestTime from accepting to the whole head (else 408), and at most
// kMaxConnections connections at once (one more drops the connection that has waited longest). A
// request body is never read; a client that sends one has it thrown away with the connection.
//
// A handler may answer later (a page that needs a request of its own): the connection then waits
// for it without a time limit of the listener's, so such a handler bounds its own time.
//
// Threads: the listener belongs to the thread that made it; its handler runs from that thread's
// event loop.
#pragma once

#include "net/WSocket.h"
#include "platform/EventLoop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlo {

class THttpRequestParser {
public:
    static constexpr std::size_t kLimit = 8192;
    enum class TOutcome : std::uint8_t { Waiting, Complete, Bad, TooLong };

    // Appends bytes of the request; the outcome so far. Once Complete, Bad or TooLong, further
    // bytes change nothing.
    TOutcome Received(std::string_view bytes);
    TOutcome Outcome() const noexcept { return outcome_; }
    // TooLong came before the request line ended.
    bool LineTooLong() const noexcept { return lineTooLong_; }

    const std::string& Method() const noexcept { return method_; }
    const std::string& Target() const noexcept { return target_; }  // as sent, query included
    // The target before any "?".
    std::string_view Path() const noexcept;
    // The value of the first header field of that name (any case), trimmed; empty when none.
    std::string Field(std::string_view name) const;
    // The value of the query's parameter of that name, percent-decoded ("+" a space); nullopt
    // when the query has no such parameter, has it more than once, or has a "%" that is not
    // followed by two hex digits in it.
    std::optional<std::string> Parameter(std::string_view name) const;

private:
    TOutcome Parse();
    bool ReadRequestLine(std::string_view line);
    bool ReadField(std::string_view line);

    std::string head_;
    std::size_t scanned_ = 0;  // bytes of head_ already looked at for a line end
    std::size_t lineStart_ = 0;
    bool lineTooLong_ = false;
    TOutcome outcome_ = TOutcome::Waiting;
    std::string method_;
    std::string target_;
    std::vector<std::pair<std::string, std::string>> fields_;  // names lower-cased
};

struct THttpAnswer {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> fields;  // further header fields
};

// The whole response: status line, header (content-type, content-length, connection: close), body;
// `withBody` false for HEAD.
std::string HttpAnswerBytes(const THttpAnswer& answer, bool withBody);

class THttpListener {
public:
    static constexpr std::size_t kMaxConnections = 48;
    static constexpr std::chrono::seconds kRequestTime{10};

    // Sends the answer to a request answered later; does nothing once the connection has gone (the
    // client left, or it was dropped for a newer one) or the listener with it.
    using TLaterAnswer = std::function<void(const THttpAnswer& answer)>;
    // Called with each complete GET or HEAD request; other methods are answered 405 without it.
    // The answer, or nothing when the handler keeps `later` to answer with it.
    using THandler = std::function<std::optional<THttpAnswer>(const THttpRequestParser& request, TLaterAnswer later)>;

    explicit THttpListener(THandler handler);
    ~THttpListener();
    THttpListener(const THttpListener&) = delete;
    THttpListener& operator=(const THttpListener&) = delete;

    // Listens on host (an IPv4 or IPv6 address, or a name: its first IPv4 address) and port ("0":
    // one the system picks). Throws ESocketException when it cannot.
    void Listen(const std::string& host, const std::string& port);
    // The port listened on, as decimal text.
    std::string LocalPort();
    std::size_t Connections() const noexcept { return connections_.size(); }

private:
    struct Connection;

    void Accept();
    void Read(Connection& c);
    void Answer(Connection& c, const THttpAnswer& answer);
    void AnswerLater(std::uint64_t serial, const THttpAnswer& answer);
    void Finish(Connection& c);
    void DropExpired();
    void Reap();
    platform::LRESULT WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM lParam);

    THandler handler_;
    TWSocket socket_;
    std::list<std::unique_ptr<Connection>> connections_;  // oldest first
    platform::HWND window_ = 0;
    bool reapPosted_ = false;
    std::uint64_t serials_ = 0;
    // Outlives the listener in the later answers it handed out, which see from it that it has gone.
    std::shared_ptr<THttpListener*> self_ = std::make_shared<THttpListener*>(this);
};

// Splits "ADDR:PORT" of a command line: "127.0.0.1:9000", "[::1]:9000", "host:9000" (port 0: one
// the system picks). False for anything else (no port, a port that is not 0 to 65535 in decimal,
// empty brackets).
bool SplitHostPort(std::string_view text, std::string& host, std::string& port);

}  // namespace quenlo
