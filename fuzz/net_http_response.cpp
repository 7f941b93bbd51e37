// Fuzzes THttpCli's receiving half without a network: the input is one or more responses, cut
// into reads at sizes taken from the input itself, with relocations followed offline.
//
// Input layout:
//   byte 0       read size seed (1 + value: the size of every read; 0 means all at once)
//   byte 1       flags: bit 0 POST instead of GET, bit 1 through a proxy, bit 2 the server resets
//                instead of closing, bit 3 handlers that destroy nothing but read every property
//   the rest     responses, one per connection, separated by the four bytes "\0\0\0\0"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"

#include <cstddef>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t readSize = data[0] == 0 ? 0 : static_cast<std::size_t>(data[0]);
    const std::uint8_t flags = data[1];
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

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
