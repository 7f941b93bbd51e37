// The HTTP response parser on its own, fed from byte buffers: where a response ends on a
// connection that stays open, however the reads fall.
#include "net/HttpParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quenlo {
namespace {

struct Responses {
    std::string bodies;   // each response's body, then "|"
    std::string statuses;
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
        "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"
        "HTTP/1.1 404 Not Found\r\nContent-Length: 1\r\n\r\nXYZ";
    for (std::size_t split = 0; split <= wire.size(); ++split) {
        const Responses r = ReadKeptOpen(wire, split);
        ASSERT_EQ(r.bodies, "abc|de||X|") << "split at " << split;
        ASSERT_EQ(r.statuses, "200 200 204 404 ") << "split at " << split;
        ASSERT_EQ(r.leftover, 2u) << "split at " << split;
    }
}

}  // namespace
}  // namespace quenlo
