// The refresh's receive streams, fed the way the client feeds them: in writes of every size.
#include "monitor/ReplyStreams.h"

#include "ipp/IppBody.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace quenlo {
namespace {

// Writes `page` in pieces of `piece` bytes (single bytes through put, as a stream does for one
// character) and tells what the scan made of it.
bool ScanInPieces(const std::string& page, std::size_t piece)
{
    ProbePageScan scan;
    std::ostream out(&scan);
    for (std::size_t at = 0; at < page.size(); at += piece) {
        if (piece == 1)
            out.put(page[at]);
        else
            out.write(page.data() + at, static_cast<std::streamsize>(std::min(piece, page.size() - at)));
    }
    EXPECT_TRUE(out.good());
    return scan.SaysNoPrinters();
}

TEST(ProbePageScan, FindsTheWordsBeforeTheFirstZeroByteHoweverThePageIsSplit)
{
    const std::string filler(4090, 'x');  // puts the words across the scan's inner slices
    const struct {
        std::string page;
        bool noPrinters;
    } cases[] = {
        {"<p>There are No Printers here</p>", true},
        {"NO PRINTERSno printers", true},
        {"no printer", false},
        {"no  printers", false},
        {std::string("page\0no printers", 16), false},
        {std::string("no prin\0ters", 12), false},
        {filler + "nO pRiNtErS" + std::string(1, '\0') + "tail", true},
        {filler + std::string(1, '\0') + "no printers", false},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{7},
                                  std::size_t{10}, std::size_t{11}, std::size_t{4096}, c.page.size()}) {
            EXPECT_EQ(ScanInPieces(c.page, piece), c.noPrinters)
                << "page of " << c.page.size() << " bytes in pieces of " << piece;
        }
    }
}

TEST(ReplyBody, TheAnnouncedLengthIsReservedOnceAndNeverTrustedBeyondItsLimit)
{
    const std::string answer(100000, 'a');
    int asked = 0;
    ReplyBody body([&] {
        ++asked;
        return static_cast<long long>(answer.size());
    });
    std::ostream out(&body);
    out.write(answer.data(), 1000);
    const char* const start = body.Bytes().data();
    for (std::size_t at = 1000; at < answer.size(); at += 1000)
        out.write(answer.data() + at, 1000);
    EXPECT_EQ(body.Bytes(), answer);
    EXPECT_EQ(body.Bytes().data(), start) << "the body was moved to grow";
    EXPECT_EQ(asked, 1);

    // A server that announces less, or far more than it may, still gets every byte kept.
    for (long long announced : {10LL, -1LL, static_cast<long long>(ReplyBody::kMaxReserve) * 64}) {
        ReplyBody other([announced] { return announced; });
        std::ostream to(&other);
        to.put('<');
        to.write(answer.data(), static_cast<std::streamsize>(answer.size()));
        EXPECT_EQ(other.Bytes().size(), answer.size() + 1);
        EXPECT_LT(other.Capacity(), ReplyBody::kMaxReserve);
    }
}

// Everything a walk hands out, as one text.
class WalkLog {
public:
    IppAttributeHandler OnAttribute()
    {
        return [this](const IppAttribute& a) {
            log += "a:" + std::string(a.name) + "=" + std::string(a.text) + "/" + std::to_string(a.integer) + ";";
        };
    }
    IppDelimiterHandler OnDelimiter()
    {
        return [this](int tag) { log += "d:" + std::to_string(tag) + ";"; };
    }
    std::string log;
};

// Feeds `body` to a WalkedReply in pieces of `piece` bytes, the way the client does: the first
// bytes through the stream, the rest into the room it lends.
std::string WalkInPieces(const std::string& body, std::size_t piece, int limit)
{
    WalkLog seen;
    IppWalker walker(limit, seen.OnAttribute(), seen.OnDelimiter());
    WalkedReply reply(walker);
    std::ostream out(&reply);
    const std::size_t first = std::min(body.size(), piece);
    out.write(body.data(), static_cast<std::streamsize>(first));
    for (std::size_t at = first; at < body.size(); at += piece) {
        const std::size_t n = std::min(piece, body.size() - at);
        std::span<char> room = reply.ReceiveRoom(n);
        EXPECT_GE(room.size(), n);
        std::memcpy(room.data(), body.data() + at, n);
        reply.ReceiveDone(n);
    }
    reply.Finish();
    return seen.log;
}

TEST(WalkedReply, HowEverTheAnswerIsSplitTheWalkSeesWhatTheWholeBodyGives)
{
    const std::string captured = test::CapturedIpp("get-jobs-held");
    const std::string longText(40000, 'v');  // longer than one of the client's reads
    const std::string made = test::IppBody()
                                 .Raw({1, 1, 0, 0, 0, 0, 0, 1, 0x01})
                                 .Tag(0x44).Length(6).Text("Job-ID").Length(0x8000).Text("rest")
                                 .Tag(0x02).Tag(0x21).Length(0x8001).Length(4).Raw({0, 0, 0, 9})
                                 .Tag(0x41).Length(1).Text("x").Length(longText.size()).Text(longText)
                                 .Tag(0x03).Text("after the end");
    const std::string bodies[] = {
        captured,
        captured.substr(0, captured.size() / 2),  // cut short inside the answer
        made,
        made.substr(0, made.size() - 20000),  // cut short inside the long text
        captured.substr(0, 10),
        captured.substr(0, 11),
    };
    for (const std::string& body : bodies) {
        for (int limit : {kIppJobWalkDelimiterLimit, kIppPrinterWalkDelimiterLimit}) {
            WalkLog whole;
            WalkResponse(body, limit, whole.OnAttribute(), whole.OnDelimiter());
            for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{10}, std::size_t{11},
                                      std::size_t{997}, std::size_t{65536}, body.size() + 1}) {
                EXPECT_EQ(WalkInPieces(body, piece, limit), whole.log)
                    << "body of " << body.size() << " bytes in pieces of " << piece;
            }
        }
    }
}

}  // namespace
}  // namespace quenlo
