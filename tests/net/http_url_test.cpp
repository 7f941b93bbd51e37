#include "net/HttpUrl.h"

#include <gtest/gtest.h>

#include <limits>

namespace quenlo {

static void PrintTo(const TUrlParts& p, std::ostream* os)
{
    *os << "{scheme '" << p.Scheme << "' user '" << p.User << "' pass '" << p.Password << "' host '"
        << p.Host << "' port '" << p.Port << "' path '" << p.Path << "'}";
}

namespace {

struct SplitCase {
    const char* url;
    TUrlParts want;
};

TEST(SplitUrl, FormsThatTheClientMeets)
{
    const SplitCase cases[] = {
        {"", {}},
        {"http://h/printers/p1", {"http", "", "", "h", "", "/printers/p1"}},
        {"http://h:631/printers/p1", {"http", "", "", "h", "631", "/printers/p1"}},
        {"http://u:pw@h:631/printers/p1", {"http", "u", "pw", "h", "631", "/printers/p1"}},
        {"proxy.lan:3128", {"", "", "", "proxy.lan", "3128", ""}},
        {"proxy.lan", {"", "", "", "proxy.lan", "", ""}},
        {"/admin/?op=x", {"http", "", "", "", "", "/admin/?op=x"}},
        {"mailto:u@h", {"mailto", "u", "", "h", "", ""}},
        {"http://h", {"http", "", "", "h", "", ""}},
        {"HTTP:/new", {"http", "", "", "", "", "/new"}},
        {"http:/new", {"http", "", "", "", "", "/new"}},
        {"//h/x", {"http", "", "", "", "", "/h/x"}},
        {"/", {"http", "", "", "", "", ""}},
        {"h:80/a/b", {"", "", "", "h", "80", "/a/b"}},
        {"[::1]:631", {"", "", "", "[::1]", "631", ""}},
        {"[fd77::1]", {"", "", "", "[fd77::1]", "", ""}},
        {"http://u:p@[::1]/printers/p1", {"http", "u", "p", "[::1]", "", "/printers/p1"}},
        {"http://[::1]:631/printers/p1", {"http", "", "", "[::1]", "631", "/printers/p1"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitUrl(c.url), c.want) << c.url;
}

TEST(SplitUrl, AmbiguousCharactersSplitWhereTheRulesSay)
{
    // The password keeps every ":" after the first; the user keeps every "@" but the last.
    EXPECT_EQ(SplitUrl("http://u:p:w@h/x"), (TUrlParts{"http", "u", "p:w", "h", "", "/x"}));
    EXPECT_EQ(SplitUrl("http://u@x:p@h:81/x"), (TUrlParts{"http", "u@x", "p", "h", "81", "/x"}));
    // A colon only before the "@" is part of the credentials, not a port.
    EXPECT_EQ(SplitUrl("http://u:p@h/x"), (TUrlParts{"http", "u", "p", "h", "", "/x"}));
    // A query without a "/" before it stays in the host or port.
    EXPECT_EQ(SplitUrl("http://h?q=1"), (TUrlParts{"http", "", "", "h?q=1", "", ""}));
    EXPECT_EQ(SplitUrl("http://h:631?q"), (TUrlParts{"http", "", "", "h", "631?q", ""}));
    // A "://" anywhere is taken as the scheme separator.
    EXPECT_EQ(SplitUrl("h/x?u=http://y").Scheme, "h/x?u=http");
    // Read from the host on, neither the relative forms nor a later "://" name a scheme.
    EXPECT_EQ(SplitUrl("//h/x", TUrlStart::SchemeOrHost).Target(), "//h/x");
    EXPECT_EQ(SplitUrl("h/x?u=http://y", TUrlStart::Host), (TUrlParts{"", "", "", "h", "", "/x?u=http://y"}));
}

TEST(Base64Encode, PadsShortGroupsAndKeepsEveryByte)
{
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("user:pass"), "dXNlcjpwYXNz");
    EXPECT_EQ(Base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(HttpDateText, WritesWeekdayDateAndTimeWithoutShifting)
{
    EXPECT_EQ(HttpDateText(2.0), "Mon, 01 Jan 1900 00:00:00");
    EXPECT_EQ(HttpDateText(2.75), "Mon, 01 Jan 1900 18:00:00");
    // 1970-01-01 was a Thursday; 2000-02-29 a Tuesday (leap day of a century leap year).
    EXPECT_EQ(HttpDateText(25569.0), "Thu, 01 Jan 1970 00:00:00");
    EXPECT_EQ(HttpDateText(36585.5), "Tue, 29 Feb 2000 12:00:00");
    // A time a hair under the next second rounds to it; a hair under midnight rolls the day.
    EXPECT_EQ(HttpDateText(25569.0 + 1.0 / 3.0), "Thu, 01 Jan 1970 08:00:00");
    EXPECT_EQ(HttpDateText(25569.0 + 0.9999999999), "Fri, 02 Jan 1970 00:00:00");
    // Before 1900 the weekday still follows the calendar.
    EXPECT_EQ(HttpDateText(0.0), "Sat, 30 Dec 1899 00:00:00");
    EXPECT_EQ(HttpDateText(-1.0), "Fri, 29 Dec 1899 00:00:00");
}

TEST(HttpDateText, RefusesValuesOutsideTheCalendar)
{
    EXPECT_EQ(HttpDateText(1e300), "");
    EXPECT_EQ(HttpDateText(-1e300), "");
    EXPECT_EQ(HttpDateText(std::numeric_limits<double>::quiet_NaN()), "");
    EXPECT_EQ(HttpDateText(std::numeric_limits<double>::infinity()), "");
    EXPECT_EQ(HttpDateText(2958465.99999), "Fri, 31 Dec 9999 23:59:59");
}

TEST(FindLastOccurrence, GivesOneBasedStartOfTheLastMatch)
{
    EXPECT_EQ(FindLastOccurrence(":", "a:b:c"), 4u);
    EXPECT_EQ(FindLastOccurrence(":", "abc"), 0u);
    EXPECT_EQ(FindLastOccurrence(":", ""), 0u);
    EXPECT_EQ(FindLastOccurrence("", "abc"), 0u);
    EXPECT_EQ(FindLastOccurrence("aa", "aaa"), 2u);
    EXPECT_EQ(FindLastOccurrence("abcd", "abc"), 0u);
    EXPECT_EQ(FindLastOccurrence("x", "x"), 1u);
}

TEST(ReplaceDocExt, ReplacesOnlyTheLastExtension)
{
    std::string name = "setup";
    ReplaceDocExt(name, "htm");
    EXPECT_EQ(name, "setup.htm");
    name = "a.tar.exe";
    ReplaceDocExt(name, "htm");
    EXPECT_EQ(name, "a.tar.htm");
    name = "trailing.";
    ReplaceDocExt(name, "htm");
    EXPECT_EQ(name, "trailing.htm");
}

}  // namespace
}  // namespace quenlo
