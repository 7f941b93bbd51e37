// Fuzzes the SOCKS negotiation machine directly, as a proxy's answers cut into reads.
//
// Input layout:
//   byte 0       bits 0-1 the level (0 and 3: 5, 1: 4, 2: 4A), bit 2 offer user name and password,
//                bit 3 an IPv6 target, bits 4-7 the read size (0: everything that fits at once)
//   the rest     the proxy's bytes
#include "net/SocksExchange.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using namespace quenlo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    const std::size_t readSize = flags >> 4;
    TSocksRequest request;
    request.level4 = (flags & 3) == 1 || (flags & 3) == 2;
    request.level4A = (flags & 3) == 2;
    request.offerPassword = !request.level4 && (flags & 4) != 0;
    request.usercode = "user";
    request.password = "secret";
    request.host = (flags & 8) && !request.level4 ? "::1" : "printer.lan";
    request.port = 631;
    request.address = 0x0100007F;

    TSocksExchange exchange;
    exchange.Begin(request);
    TSocksStep step = exchange.ProxyConnected();
    std::size_t at = 1;
    std::size_t sent = step.bytes.size();
    // Every round either reads a byte at least or ends.
    while (step.kind == TSocksStep::Wait || step.kind == TSocksStep::Send) {
        if (!exchange.Negotiating())
            __builtin_trap();  // waiting for nothing
        const std::span<char> room = exchange.Room();
        if (room.size() >= TSocksExchange::kReplyArea)
            __builtin_trap();  // a reply may overrun its area
        if (at >= size || room.empty())
            return 0;  // the proxy says no more, or has sent more than any reply holds
        std::size_t n = std::min(room.size(), size - at);
        if (readSize != 0)
            n = std::min(n, readSize);
        std::memcpy(room.data(), data + at, n);
        at += n;
        step = exchange.Received(n);
        sent += step.bytes.size();
        if (sent > 4096)
            __builtin_trap();  // requests without end
    }
    if (step.kind == TSocksStep::Connected) {
        if (exchange.Negotiating() || step.replyEnd == 0 || step.replyEnd > TSocksExchange::kReplyArea)
            __builtin_trap();
        if (!request.level4 && step.replyEnd > exchange.Reply().size())
            __builtin_trap();  // the target's bytes would start past what was read
    }
    if (step.kind == TSocksStep::Failed && (step.code < 20000 || step.text.empty()))
        __builtin_trap();
    return 0;
}
