// THttpRequestParser and THttpListener.
#include "net/HttpServer.h"

#include "platform/Text.h"

#include <algorithm>
#include <charconv>

namespace quenlo {

namespace {

constexpr unsigned kSweepTimer = 1;
constexpr unsigned kReapMessage = platform::WM_USER + 40;

const char* StatusReason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

bool IsTokenChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u > ' ' && u < 0x7f && std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

std::optional<std::string> PercentDecoded(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
            const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
            if (low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

THttpAnswer Refusal(int status)
{
    THttpAnswer answer;
    answer.status = status;
    answer.body = std::to_string(status) + " " + StatusReason(status) + "\n";
    return answer;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// THttpRequestParser

THttpRequestParser::TOutcome THttpRequestParser::Received(std::string_view bytes)
{
    if (outcome_ != TOutcome::Waiting)
        return outcome_;
    // Bytes beyond the limit are never kept: a head that long is refused whatever follows.
    const std::size_t room = kLimit + 1 - head_.size();
    head_.append(bytes.substr(0, room));
    outcome_ = Parse();
    return outcome_;
}

THttpRequestParser::TOutcome THttpRequestParser::Parse()
{
    while (scanned_ < head_.size()) {
        const char c = head_[scanned_++];
        if (c == '\0')
            return TOutcome::Bad;
        if (c != '\n')
            continue;
        std::string_view line(head_.data() + lineStart_, scanned_ - 1 - lineStart_);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const bool first = lineStart_ == 0;
        lineStart_ = scanned_;
        if (first) {
            if (!ReadRequestLine(line))
                return TOutcome::Bad;
        } else if (line.empty()) {
            return TOutcome::Complete;
        } else if (!ReadField(line)) {
            return TOutcome::Bad;
        }
    }
    if (head_.size() > kLimit) {
        lineTooLong_ = lineStart_ == 0;
        return TOutcome::TooLong;
    }
    return TOutcome::Waiting;
}

bool THttpRequestParser::ReadRequestLine(std::string_view line)
{
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == std::string_view::npos || methodEnd == 0)
        return false;
    const std::size_t targetEnd = line.find(' ', methodEnd + 1);
    if (targetEnd == std::string_view::npos || targetEnd == methodEnd + 1)
        return false;
    const std::string_view method = line.substr(0, methodEnd);
    const std::string_view target = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    const std::string_view version = line.substr(targetEnd + 1);
    if (!std::ranges::all_of(method, IsTokenChar) || version.size() != 8 || !version.starts_with("HTTP/1."))
        return false;
    if (std::ranges::any_of(target, [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
        return false;
    method_ = method;
    target_ = target;
    return true;
}

bool THttpRequestParser::ReadField(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::all_of(line.begin(), line.begin() + colon, IsTokenChar))
        return false;
    fields_.emplace_back(platform::AsciiLower(std::string(line.substr(0, colon))),
                         platform::TrimControls(line.substr(colon + 1)));
    return true;
}

std::string_view THttpRequestParser::Path() const noexcept
{
    const std::string_view target(target_);
    return target.substr(0, target.find('?'));
}

std::string THttpRequestParser::Field(std::string_view name) const
{
    for (const auto& [fieldName, value] : fields_)
        if (platform::AsciiEqualIgnoringCase(fieldName, name))
            return value;
    return {};
}

std::optional<std::string> THttpRequestParser::Parameter(std::string_view name) const
{
    const std::size_t mark = target_.find('?');
    if (mark == std::string::npos)
        return std::nullopt;
    std::string_view query = std::string_view(target_).substr(mark + 1);
    query = query.substr(0, query.find('#'));
    std::optional<std::string> value;
    while (!query.empty()) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, end);
        query.remove_prefix(std::min(end + 1, query.size()));
        const std::size_t equals = pair.find('=');
        if (PercentDecoded(pair.substr(0, equals)) != name)
            continue;
        if (value)
            return std::nullopt;
        value = PercentDecoded(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (!value)
            return std::nullopt;
    }
    return value;
}

std::string HttpAnswerBytes(const THttpAnswer& answer, bool withBody)
{
    std::string bytes = "HTTP/1.1 " + std::to_string(answer.status) + " " + StatusReason(answer.status) +
                        "\r\nContent-Type: " + answer.contentType +
                        "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : answer.fields)
        bytes += name + ": " + value + "\r\n";
    bytes += "\r\n";
    if (withBody)
        bytes += answer.body;
    return bytes;
}

bool SplitHostPort(std::string_view text, std::string& host, std::string& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view h = text.substr(0, colon);
    const std::string_view p = text.substr(colon + 1);
    if (h.starts_with('[')) {
        if (!h.ends_with(']') || h.size() < 3)
            return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.empty() || h.find(':') != std::string_view::npos) {
        return false;
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(p.data(), p.data() + p.size(), number);
    if (p.empty() || error != std::errc() || end != p.data() + p.size() || number > 65535)
        return false;
    host = h;
    port = std::to_string(number);
    return true;
}

// ---------------------------------------------------------------------------------------------
// THttpListener

struct THttpListener::Connection {
    TWSocket socket;
    THttpRequestParser request;
    std::chrono::steady_clock::time_point deadline;
    std::uint64_t serial = 0;
    bool handled = false;  // the handler has the request (its answer may come later)
    bool answered = false;
    bool done = false;
};

THttpListener::THttpListener(THandler handler) : handler_(std::move(handler))
{
    window_ = platform::CreateMessageTarget(
        [this](platform::HWND, unsigned message, platform::WPARAM wParam, platform::LPARAM lParam) {
            return WindowProc(message, wParam, lParam);
        });
    socket_.OnSessionAvailable = [this](TCustomWSocket&, std::uint16_t) { Accept(); };
}

THttpListener::~THttpListener()
{
    platform::DestroyMessageTarget(window_);
}

void THttpListener::Listen(const std::string& host, const std::string& port)
{
    socket_.SetAddr(host);
    socket_.SetPort(port);
    socket_.SetProto("tcp");
    socket_.Listen();
    // From now on a failed accept (a connection reset while it waited) costs that connection only.
    socket_.OnError = [](TCustomWSocket&) {};
    platform::SetTimer(window_, kSweepTimer, 1000);
}

std::string THttpListener::LocalPort()
{
    return socket_.GetLocalPortText();
}

void THttpListener::Accept()
{
    const platform::ws::SOCKET handle = socket_.Accept();
    if (handle == platform::ws::INVALID_SOCKET)
        return;
    if (connections_.size() >= kMaxConnections) {
        // The one that has waited longest has had the most time to send its request.
        Finish(*connections_.front());
        connections_.pop_front();
    }
    auto connection = std::make_unique<Connection>();
    Connection& c = *connection;
    c.deadline = std::chrono::steady_clock::now() + kRequestTime;
    c.serial = ++serials_;
    // A reset at close would throw away the end of an answer the client has not read yet.
    c.socket.SetLingerOnOff(wsLingerOff);
    c.socket.OnError = [](TCustomWSocket&) {};
    c.socket.OnDataAvailable = [this, &c](TCustomWSocket&, std::uint16_t) { Read(c); };
    c.socket.OnDataSent = [this, &c](TCustomWSocket&, std::uint16_t) {
        if (c.answered)
            Finish(c);
    };
    c.socket.OnSessionClosed = [this, &c](TCustomWSocket&, std::uint16_t) { Finish(c); };
    connections_.push_back(std::move(connection));
    c.socket.Dup(handle);
    c.socket.SendWithoutDelay();
}

void THttpListener::Read(Connection& c)
{
    char buffer[4096];
    for (;;) {
        const int n = c.socket.Receive(buffer, sizeof buffer);
        if (n <= 0 || c.done)
            return;
        if (c.answered || c.handled)
            continue;  // anything after the head is not ours to read
        switch (c.request.Received(std::string_view(buffer, static_cast<std::size_t>(n)))) {
        case THttpRequestParser::TOutcome::Waiting:
            continue;
        case THttpRequestParser::TOutcome::Bad:
            Answer(c, Refusal(400));
            continue;
        case THttpRequestParser::TOutcome::TooLong:
            Answer(c, Refusal(c.request.LineTooLong() ? 414 : 431));
            continue;
        case THttpRequestParser::TOutcome::Complete:
            break;
        }
        const std::string& method = c.request.Method();
        if (method != "GET" && method != "HEAD") {
            THttpAnswer refusal = Refusal(405);
            refusal.fields.emplace_back("Allow", "GET, HEAD");
            Answer(c, refusal);
        } else {
            c.handled = true;
            const std::weak_ptr<THttpListener*> self = self_;
            const std::uint64_t serial = c.serial;
            TLaterAnswer later = [self, serial](const THttpAnswer& answer) {
                if (const std::shared_ptr<THttpListener*> listener = self.lock())
                    (*listener)->AnswerLater(serial, answer);
            };
            if (const std::optional<THttpAnswer> answer = handler_(c.request, std::move(later)))
                Answer(c, *answer);
        }
    }
}

void THttpListener::Answer(Connection& c, const THttpAnswer& answer)
{
    c.answered = true;
    c.socket.SendText(HttpAnswerBytes(answer, c.request.Method() != "HEAD"));
}

void THttpListener::AnswerLater(std::uint64_t serial, const THttpAnswer& answer)
{
    for (const std::unique_ptr<Connection>& c : connections_)
        if (c->serial == serial && !c->done && !c->answered)
            Answer(*c, answer);
}

void THttpListener::Finish(Connection& c)
{
    if (c.done)
        return;
    c.done = true;
    c.socket.OnDataAvailable = nullptr;
    c.socket.OnDataSent = nullptr;
    c.socket.OnSessionClosed = nullptr;
    c.socket.Close();
    if (!reapPosted_)
        reapPosted_ = platform::PostMessage(window_, kReapMessage, 0, 0);
}

void THttpListener::DropExpired()
{
    const auto now = std::chrono::steady_clock::now();
    for (const std::unique_ptr<Connection>& c : connections_) {
        if (c->done || now < c->deadline || (c->handled && !c->answered))
            continue;
        if (c->answered)
            Finish(*c);  // an answer nobody reads in the whole time
        else
            Answer(*c, Refusal(408));
        c->deadline = now + kRequestTime;
    }
}

// Connections are destroyed from the loop, never from inside their own socket's handler.
void THttpListener::Reap()
{
    reapPosted_ = false;
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->done; });
}

platform::LRESULT THttpListener::WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM)
{
    if (message == platform::WM_TIMER && wParam == kSweepTimer)
        DropExpired();
    else if (message == kReapMessage)
        Reap();
    return 0;
}

}  // namespace quenlo
