#include "config/PasswordLines.h"
#include "config/PrintersFile.h"
#include "config/PrintersFileWriter.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace quenlo {
namespace {

// A password line belongs where the reader puts it (the open entry, else the last one ended; an
// entry never ended takes its lines with it), the last one holds, and taking lines out leaves every
// other byte: also in UTF-16, where a character may hold a 0x0A byte that ends no line.
TEST(PasswordLines, FollowTheReaderAndTakeOutOnlyTheirOwnBytes)
{
    const std::string text =
        "pass=outside\r\n<printer>\r\npass=first\r\nremotehost=a:1\r\nuser=u\r\npass=second\r\nlocalport=-1\r\n"
        "<endprinter>\r\npass=late\r\n<printer>\r\nuser=lost\r\npass=unfinished\r\n<printer>\r\n"
        "comment=\xE0\xA8\x8A\r\nremotehost=b\r\nPASS=upper\r\n<endprinter>\r\nproxy=p\r\nproxypass=pp";
    for (const bool wide : {false, true}) {
        const std::string bytes = wide ? "\xFF\xFE" + Utf8ToUtf16(text, false) : text;
        const std::vector<PasswordLine> lines = PasswordLinesOf(bytes);
        ASSERT_EQ(lines.size(), 5u) << wide;
        EXPECT_EQ(lines[0].value, "first");
        EXPECT_FALSE(lines[0].holds);
        EXPECT_FALSE(lines[1].holds);
        EXPECT_EQ(lines[2].value, "late");
        EXPECT_TRUE(lines[2].holds);
        EXPECT_EQ(lines[2].server + " " + lines[2].user, "a:1 u");
        EXPECT_FALSE(lines[2].gateway);
        EXPECT_EQ(lines[3].value, "upper");
        EXPECT_EQ(lines[3].server, "b");
        EXPECT_TRUE(lines[3].gateway && lines[3].holds);
        EXPECT_TRUE(lines[4].proxy && lines[4].holds);
        EXPECT_EQ(lines[4].server + " " + lines[4].value, "p:80 pp");

        PrinterList printers;
        ProxySettings proxy;
        std::istringstream in(WithoutLines(bytes, lines));
        PrintersFileReader(printers, proxy, "").ReadAll(in);
        ASSERT_EQ(printers.size(), 2u) << wide;
        EXPECT_EQ(printers[0].pass + printers[1].pass + proxy.ProxyPassword, "");
        EXPECT_EQ(printers[1].comment, "\xE0\xA8\x8A");
        std::string expected = text;
        for (const char* gone : {"pass=first\r\n", "pass=second\r\n", "pass=late\r\n", "PASS=upper\r\n", "proxypass=pp"})
            expected.erase(expected.find(gone), std::string(gone).size());
        EXPECT_EQ(WithoutLines(bytes, lines), wide ? "\xFF\xFE" + Utf8ToUtf16(expected, false) : expected) << wide;
    }
}

}  // namespace
}  // namespace quenlo
