// The socket layer's foundation: resolution rules and texts, the error text table, the count.
#include "net/WSocketBinding.h"
#include "wsocket_test_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <climits>
#include <functional>

namespace quenlo {
namespace {

using testing::SocketError;

TEST(WSocketResolveHost, DottedAddressesAndTheirRefusals)
{
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(WSocketResolveHost("  10.1.2.3 "), htonl(0x0A010203));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu) << "all ones is a real address here";

    EXPECT_EQ(SocketError([] { WSocketResolveHost("256.1.2.3"); }),
              "WSocketResolveHost: '256.1.2.3' Invalid IP address.");
    // A leading digit is never looked up as a name, even when such a name could exist.
    EXPECT_EQ(SocketError([] { WSocketResolveHost("1localhost"); }),
              "WSocketResolveHost: '1localhost' Invalid IP address.");
}

TEST(WSocketResolveHost, NamesAndLengthLimits)
{
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(0x7F000001));
    EXPECT_EQ(WSocketResolveHost(" localhost\t"), htonl(0x7F000001)) << "trimmed";

    EXPECT_EQ(SocketError([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    const std::string tooLong(257, 'a');
    EXPECT_EQ(SocketError([&] { WSocketResolveHost(tooLong); }),
              "WSocketResolveHost: '" + tooLong + "' Invalid Hostname.");
    const std::string longest(256, 'a');
    EXPECT_EQ(SocketError([&] { WSocketResolveHost(longest); }),
              "WSocketResolveHost: Cannot convert host address '" + longest + "'")
        << "256 characters are still looked up";
    EXPECT_EQ(SocketError([] { WSocketResolveHost(" nowhere.invalid "); }),
              "WSocketResolveHost: Cannot convert host address ' nowhere.invalid '")
        << "the message quotes the text as given";
}

TEST(WSocketResolvePort, NumbersNamesAndLimits)
{
    EXPECT_EQ(WSocketResolvePort("631", "tcp"), 631);
    EXPECT_EQ(WSocketResolvePort("80   ", "tcp"), 80) << "trailing blanks";
    EXPECT_EQ(WSocketResolvePort("0", ""), 0);
    EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
    EXPECT_EQ(WSocketResolvePort("8080abc", "tcp"), 8080) << "digits up to the first non-digit";
    EXPECT_EQ(WSocketResolvePort("ipp", "tcp"), 631);
    EXPECT_EQ(WSocketResolvePort("http ", " tcp "), 80) << "service and protocol are trimmed";
    EXPECT_EQ(WSocketResolvePort("http", ""), 80) << "no protocol: any";

    EXPECT_EQ(SocketError([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(SocketError([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(SocketError([] { WSocketResolvePort("no-such-service", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'no-such-service'");

    EXPECT_THROW(WSocketResolvePort("65536", "tcp"), std::out_of_range);
    // Far beyond an int: must not wrap round into a small, valid-looking port.
    EXPECT_THROW(WSocketResolvePort("4294967376", "tcp"), std::out_of_range);  // 2^32 + 80
    EXPECT_THROW(WSocketResolvePort(std::string(31, '9'), "tcp"), std::out_of_range);
    try {
        WSocketResolvePort("70000", "tcp");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Range check error");
    }
}

TEST(WSocketResolveProto, NumbersNamesAndLimits)
{
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveProto(" 6"), 6) << "trimmed before the digit test";

    EXPECT_EQ(SocketError([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(SocketError([] { WSocketResolveProto(std::string(32, 't')); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(SocketError([] { WSocketResolveProto(" bogus "); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus'");
}

TEST(ParseDecimal, ReadsTheLeadingNumber)
{
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("abc"), 0);
    EXPECT_EQ(ParseDecimal("   42"), 42);
    EXPECT_EQ(ParseDecimal("12x4"), 12);
    EXPECT_EQ(ParseDecimal("007"), 7);
    EXPECT_EQ(ParseDecimal("-5"), 0);
    EXPECT_EQ(ParseDecimal("2147483647"), INT_MAX);
    EXPECT_EQ(ParseDecimal("99999999999999999999"), INT_MAX) << "stops growing instead of wrapping";
}

TEST(CollectAddressList, AppendsTextFormsInOrderUpToTheLimit)
{
    platform::ws::HostEntry entry;
    entry.every = {*platform::ws::ParseIpLiteral("fd77::1"), *platform::ws::ParseIpLiteral("192.168.0.1")};
    std::vector<std::string> list{"kept"};
    CollectAddressList(entry, list);
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "fd77::1", "192.168.0.1"}));

    entry.every.assign(300, *platform::ws::ParseIpLiteral("10.0.0.1"));
    list.clear();
    CollectAddressList(entry, list);
    EXPECT_EQ(list.size(), 256u);
}

// IPv6 literals, bracketed or not, are addresses of their own and never looked up; their text form
// is the shortest one. Malformed ones are refused as addresses, not tried as names.
TEST(WSocketResolveHostAll, IPv6LiteralsAndTheirRefusals)
{
    const auto text = [](const std::string& host) {
        const auto all = WSocketResolveHostAll(host);
        return all.size() == 1 ? platform::ws::IpText(all[0]) : "?";
    };
    EXPECT_EQ(text("[::1]"), "::1");
    EXPECT_EQ(text("::"), "::");
    EXPECT_EQ(text("FD77:0:0:0:0:0:0:1"), "fd77::1");
    EXPECT_EQ(text("1:0:0:2:0:0:0:3"), "1:0:0:2::3");
    EXPECT_EQ(text("1:2:3:4:5:6:7::"), "1:2:3:4:5:6:7:0");
    EXPECT_EQ(text("[::ffff:10.1.2.3]"), "::ffff:a01:203");
    EXPECT_EQ(text(" 127.0.0.1 "), "127.0.0.1");
    EXPECT_EQ(platform::ws::IpText(WSocketResolveHostAll("127.1").at(0)), "127.0.0.1");
    for (const char* bad : {"[::1", "::1]", "1:2:3:4:5:6:7:8:9", "1::2::3", ":1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8::",
                            "12345::", "::g", "[127.0.0.1]", "[]", "fe80::1%eth0", "::1.2.3", "::256.1.2.3"})
        EXPECT_EQ(SocketError([&] { WSocketResolveHostAll(bad); }),
                  "WSocketResolveHost: '" + std::string(bad) + "' Invalid IP address.")
            << bad;
}

// The texts of the failures users meet (refused, reset, timed out, host not found) are checked
// where they happen, in the exchanges' messages; here only the edges of the table.
TEST(WSocketErrorText, NumbersOutsideTheTableSaySo)
{
    EXPECT_EQ(WSocketErrorText(0), "No Error");
    EXPECT_EQ(WSocketErrorText(11004), "No Data");
    for (int other : {-1, 1, 10000, 10001, 10072, 10090, 10094, 11000, 11005, 65535})
        EXPECT_EQ(WSocketErrorText(other), "Not a WinSock error") << other;
}

TEST(WSocketErrorText, EveryNumberTheMappingProducesHasAText)
{
    for (int e = 0; e < 200; ++e)
        EXPECT_NE(WSocketErrorText(platform::ws::WsaErrorFromErrno(e)), "Not a WinSock error") << "errno " << e;
    for (int code = -20; code <= 5; ++code)
        EXPECT_NE(WSocketErrorText(platform::ws::WsaErrorFromResolver(code)), "Not a WinSock error") << code;
}

TEST(SocketInstanceCount, CountsUpAndSettlesAtZero)
{
    const int start = SocketInstanceCount();
    SocketCreated();
    SocketCreated();
    EXPECT_EQ(SocketInstanceCount(), start + 2);
    for (int i = 0; i < start + 3; ++i)
        SocketDestroyed();
    EXPECT_EQ(SocketInstanceCount(), 0) << "never below zero";
    for (int i = 0; i < start; ++i)
        SocketCreated();
}

TEST(ESocketException, CarriesOnlyItsMessage)
{
    try {
        throw ESocketException("Connect: No Port Specified");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Connect: No Port Specified");
        ASSERT_NE(dynamic_cast<const ESocketException*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const ESocketException&>(e).Message(), "Connect: No Port Specified");
    }
}

}  // namespace
}  // namespace quenlo
