// The refresh's receive streams, fed the way the client feeds them: in writes of every size.
#include "monitor/ReplyStreams.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quenlo
