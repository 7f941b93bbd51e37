// The HTTP response parser on its own, fed from byte buffers: where a response ends on a
// connection that stays open, however the reads fall.
#include "net/HttpParser.h"
#include "net/ErrorCodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace quenlo {
namespace {

struct Responses {
    std::string bodies;   // each response's body, then "|"
    std::string statuses;
    std::string keeps;    // per response: k when it lets the connection carry the next, else c
    std::size_t leftover = 0;
};

// Reads the responses of `wire` one after the other, received in two reads cut at `split`.
Responses ReadKeptOpen(const std::string& wire, std::size_t split)
{
    THttpResponseParser parser;
    parser.Reset();
    Responses out;
    const auto receive = [&](std::string_view bytes) {
        const std::span<char> room = parser.Room();
        ASSERT_GE(room.size(), bytes.size());
        std::memcpy(room.data(), bytes.data(), bytes.size());
        parser.Received(bytes.size());
    };
    const auto readAll = [&] {
        for (;;) {
            const THttpEvent e = parser.Next();
            if (e.kind == THttpEvent::Body)
                out.bodies.append(e.text);
            else if (e.kind == THttpEvent::StatusLine)
                out.statuses += std::to_string(parser.Status()) + " ";
            else if (e.kind == THttpEvent::NeedBytes && parser.Complete()) {
                out.bodies += "|";
                out.keeps += parser.KeepsConnection() ? "k" : "c";
                parser.StartNextResponse();
            } else if (e.kind == THttpEvent::NeedBytes)
                return;
        }
    };
    receive(std::string_view(wire).substr(0, split));
    readAll();
    receive(std::string_view(wire).substr(split));
    readAll();
    out.leftover = parser.Buffered();
    return out;
}

// Bytes after a body's announced length that come in the same read as its header belong to the
// next response on the connection, not to this body.
TEST(HttpParser, ABodyEndsAtItsLengthAndTheRestIsTheNextResponse)
{
    const std::string wire =
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nde\r\n0\r\n\r\n"
        "HTTP/1.1 204 No Content\r\nConnection: Close\r\nContent-Length: 0\r\n\r\n"
        "HTTP/1.0 404 Not Found\r\nContent-Length: 1\r\n\r\nXYZ";
    for (std::size_t split = 0; split <= wire.size(); ++split) {
        const Responses r = ReadKeptOpen(wire, split);
        ASSERT_EQ(r.bodies, "abc|de||X|") << "split at " << split;
        ASSERT_EQ(r.statuses, "200 200 204 404 ") << "split at " << split;
        ASSERT_EQ(r.keeps, "kkcc") << "split at " << split;
        ASSERT_EQ(r.leftover, 2u) << "split at " << split;
    }
}

// One response of `wire` received in two reads cut at `split`: its body, whether its framing
// says it is whole, what is left behind it, and the error that stopped the parser (0: none).
struct Framed {
    std::string body;
    bool complete = false;
    std::size_t leftover = 0;
    std::uint16_t error = 0;
    bool twice = false;
};

Framed ReadOne(const std::string& wire, std::size_t split)
{
    THttpResponseParser parser;
    parser.Reset();
    Framed out;
    for (const std::string_view bytes : {std::string_view(wire).substr(0, split), std::string_view(wire).substr(split)}) {
        const std::span<char> room = parser.Room();
        std::memcpy(room.data(), bytes.data(), std::min(bytes.size(), room.size()));
        parser.Received(bytes.size());
        for (THttpEvent e = parser.Next(); e.kind != THttpEvent::NeedBytes; e = parser.Next()) {
            if (e.kind == THttpEvent::Body)
                out.body.append(e.text);
            else if (e.kind == THttpEvent::Failed)
                out.error = e.error;
        }
    }
    out.complete = parser.Complete();
    out.leftover = parser.Buffered();
    out.twice = parser.FramedTwice();
    return out;
}

// Every framing a server may use, bytes in and body out, however the reads fall: chunk sizes are
// hexadecimal in either case and may carry extensions, a trailer follows the last chunk, the
// chunks rule over a length beside them, and only the close ends a body that says neither.
TEST(HttpParser, EveryFramingGivesTheBodyItFrames)
{
    const std::string sixteen = "0123456789abcdef", twentySix = "abcdefghijklmnopqrstuvwxyz";
    struct Case {
        std::string wire;
        std::string body;
        bool complete;
        std::size_t leftover;
        std::uint16_t error = 0;
        bool twice = false;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloNEXT", "hello", true, 4},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", true, 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n" + sixteen + "\r\n1A;name=\"v\"\r\n" +
             twentySix + "\r\nb\r\nhello world\r\n0\r\nX-Checksum: 1\r\n\r\nNEXT",
         sixteen + twentySix + "hello world", true, 4},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\nContent-Length: 3\r\n\r\nF\r\n" +
             sixteen.substr(0, 15) + "\r\n0\r\n\r\n",
         sixteen.substr(0, 15), true, 0, 0, true},
        {"HTTP/1.0 200 OK\r\n\r\nuntil the close", "until the close", false, 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nfine", "fine", false, 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4x\r\nfine\r\n", "", false, 0, HttpError::BadChunk},
        {std::string("HTTP/1.1 200 OK\r\nX-A: ") + '\0' + "\r\nContent-Length: 1\r\n\r\nx", "", false, 0,
         HttpError::BadHeader},
    };
    for (const Case& c : cases) {
        for (std::size_t split = 0; split <= c.wire.size(); ++split) {
            const Framed f = ReadOne(c.wire, split);
            ASSERT_EQ(f.body, c.body) << c.wire << " split at " << split;
            ASSERT_EQ(f.complete, c.complete) << c.wire << " split at " << split;
            ASSERT_EQ(f.error, c.error) << c.wire << " split at " << split;
            if (c.error == 0) {  // after a failure nothing more is read
                ASSERT_EQ(f.leftover, c.leftover) << c.wire << " split at " << split;
            }
            ASSERT_EQ(f.twice, c.twice) << c.wire << " split at " << split;
        }
    }
}

// A proxy's answer to CONNECT opens the tunnel with a 200 whose header has ended, and only then,
// however the reads fall.
TEST(HttpParser, AConnectReplyOpensOnlyOnAWhole200Header)
{
    using O = THttpConnectReply::TOutcome;
    const std::pair<std::string, O> cases[] = {
        {"HTTP/1.1 200 Connection established\r\nProxy-Agent: p\r\n\r\n", O::Opened},
        {"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", O::Refused},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", O::Refused},
        {"HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a'), O::TooLong},
    };
    THttpConnectReply reply;
    for (const auto& [wire, outcome] : cases) {
        for (std::size_t split = 0; split <= wire.size(); split += 7) {
            reply.Reset();
            O said = O::Waiting;
            const std::string_view all(wire);
            for (std::string_view bytes : {all.substr(0, split), all.substr(split)}) {
                while (said == O::Waiting && !bytes.empty()) {
                    const std::span<char> room = reply.Room();
                    const std::size_t n = std::min(room.size(), bytes.size());
                    std::memcpy(room.data(), bytes.data(), n);
                    bytes.remove_prefix(n);
                    said = reply.Received(n);
                }
            }
            ASSERT_EQ(said, outcome) << wire.substr(0, 40) << " split at " << split;
            ASSERT_EQ(reply.FirstLine(), wire.substr(0, wire.find('\r'))) << " split at " << split;
        }
    }
}

}  // namespace
}  // namespace quenlo
