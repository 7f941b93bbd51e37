// Fuzzes the HTTP response parser directly, then THttpCli's receiving half that drives it, without
// a network. The parser reads the first response cut into reads at sizes taken from the input and
// again in as few reads as its line buffer allows: both must say the same (lines, body, end), and
// the body must keep to its framing. The client then gets one or more responses, with relocations
// followed offline.
//
// Input layout:
//   byte 0       read size seed (1 + value: the size of every read; 0 means all at once)
//   byte 1       flags: bit 0 POST instead of GET, bit 1 through a proxy, bit 2 the server resets
//                instead of closing, bit 3 handlers that destroy nothing but read every property
//   the rest     responses, one per connection, separated by the four bytes "\0\0\0\0"
#include "net/HttpParser.h"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"

#include <cstddef>
#include <cstring>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

using namespace quenlo;

namespace {

std::string_view NextResponse(std::string_view& rest)
{
    static constexpr std::string_view kSeparator("\0\0\0\0", 4);
    const std::size_t at = rest.find(kSeparator);
    std::string_view one = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + kSeparator.size());
    return one;
}

// What the parser made of one response: every event but the body's, the body, how it ended.
struct TParsed {
    std::string events;
    std::string body;
    bool complete = false;
    bool operator==(const TParsed&) const = default;
};

// Feeds `response` through the parser's line buffer `step` bytes at a time (0: as much as fits);
// after the header, every other read goes through FeedBody instead, as a body block would.
TParsed Parse(std::string_view response, std::size_t step)
{
    THttpResponseParser parser;
    parser.Reset();
    TParsed out;
    std::size_t at = 0;
    bool viaBlock = false;
    // Every event consumes bytes or ends the round, so this is bounded by the input's size.
    for (std::size_t rounds = 0; rounds <= response.size() + 1; ++rounds) {
        for (THttpEvent e = parser.Next(); e.kind != THttpEvent::NeedBytes; e = parser.Next()) {
            if (e.kind == THttpEvent::Body) {
                out.body.append(e.text);
            } else {
                out.events += static_cast<char>('A' + e.kind);
                out.events.append(e.text);
                out.events += static_cast<char>(e.error);
            }
            if (e.kind == THttpEvent::Failed)
                return out;
        }
        out.complete = parser.Complete();
        if (parser.ContentLength() >= 0 && !parser.Chunked() && parser.BodyReceived() > parser.ContentLength())
            __builtin_trap();  // a body past its announced length
        if (static_cast<std::int64_t>(out.body.size()) != parser.BodyReceived())
            __builtin_trap();
        if (at >= response.size() || parser.Complete())
            return out;
        std::size_t n = step == 0 ? response.size() - at : std::min(step, response.size() - at);
        viaBlock = !viaBlock;
        if (parser.InBody() && parser.Buffered() == 0 && viaBlock && step != 0) {
            n = std::min(n, parser.BodyLeft());
            parser.FeedBody(response.data() + at, n);
        } else {
            const std::span<char> room = parser.Room();
            if (room.empty())
                return out;  // a line longer than the buffer
            n = std::min(n, room.size());
            std::memcpy(room.data(), response.data() + at, n);
            parser.Received(n);
        }
        at += n;
    }
    __builtin_trap();  // the parser stopped consuming
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t readSize = data[0] == 0 ? 0 : static_cast<std::size_t>(data[0]);
    const std::uint8_t flags = data[1];
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

    {
        std::string_view first = rest;
        first = NextResponse(first);
        if (Parse(first, readSize == 0 ? 1 : readSize) != Parse(first, 0))
            __builtin_trap();  // how the reads fell changed what the response says
    }

    std::stringstream reply;
    std::stringstream post(std::string(100, 'p'));
    std::size_t seen = 0;
    {
        THttpCli http;
        http.SetURL("http://u:p@printer.lan:631/printers/p1?x=1");
        if (flags & 2)
            http.SetProxy("proxy.lan:3128");
        http.SetReplyStream(&reply);
        http.SetPostStream(&post);
        if (flags & 8) {
            http.OnHeaderData = [&](THttpCli& h) { seen += h.ReplyHeaderLines().back().size(); };
            http.OnDocData = [&](THttpCli&, const char*, std::int32_t n) { seen += static_cast<std::size_t>(n); };
            http.OnLocationChange = [&](THttpCli& h) { seen += h.CurrentUrl().size(); };
            http.OnCookie = [&](THttpCli&, const std::string& d, bool&) { seen += d.size(); };
        }
        http.StartOffline((flags & 1) ? hrPost : hrGet);

        // One round per connection: a relocation starts a new one once the loop has run.
        for (int round = 0; round <= THttpCli::kMaxRelocations + 1 && http.State() != hsReady; ++round) {
            const std::string_view response = NextResponse(rest);
            const std::size_t step = readSize == 0 ? response.size() : readSize;
            for (std::size_t at = 0; at < response.size(); at += step)
                http.FeedReceived(response.data() + at, std::min(step, response.size() - at));
            http.FeedClosed((flags & 4) ? 10054 : 0);
            platform::ProcessLoopMessages();
        }
        platform::ProcessLoopMessages();
        if (http.State() != hsReady)
            __builtin_trap();  // every request must end once the peer is gone
        if (http.ReplyBytesReceived() != static_cast<std::int64_t>(reply.str().size()) &&
            http.RequestDoneError() != HttpError::ReplyStreamFailed)
            __builtin_trap();  // every body byte counted reached the stream
    }
    platform::ProcessLoopMessages();
    return seen == 0xFFFFFFFF ? 1 : 0;
}
