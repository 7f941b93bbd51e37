// Reading and locating "printers.qdl".
#include "config/PrintersFile.h"
#include "config/PrintersFileWriter.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quenlo {
namespace {

using test::WriteFile;

struct Gateway {
    std::string name;
    std::string configDir;
    std::size_t listedAtStart;  // entries in the list when the gateway was started
};

struct Read {
    PrinterList printers;
    ProxySettings proxy;
    std::vector<Gateway> gateways;
};

Read ReadText(const std::string& text, const std::string& configDir = "/etc/q/")
{
    Read r;
    PrintersFileReader reader(r.printers, r.proxy, configDir, [&r](TAList& entry, const std::string& dir) {
        r.gateways.push_back({entry.name, dir, r.printers.size()});
    });
    std::istringstream in(text);
    reader.ReadAll(in);
    return r;
}

// The fields a key sets, in the order of the keys.
std::vector<std::string> KeyFields(const TAList& e)
{
    return {e.name, e.localhost, std::to_string(e.localport), e.remotehost, std::to_string(e.remoteport),
            e.url, e.user, e.pass, e.comment};
}

// A bare entry takes the defaults the refresh and the gateway rely on; each key overrides its own.
TEST(PrintersFileReader, FreshEntryHasTheDefaultsAndEveryKeySetsItsField)
{
    Read r = ReadText(
        "<printer>\n<endprinter>\n<printer>\n"
        "name=Laser\nlocalhost=10.0.0.5\nlocalport=9101\nremotehost=print.example.com:631\n"
        "remoteport=8631\nurl=/printers/Laser\nuser=anna\npass=s3cret\ncomment=2nd floor\n"
        "<endprinter>\n");
    ASSERT_EQ(r.printers.size(), 2u);
    EXPECT_EQ(KeyFields(r.printers[0]), (std::vector<std::string>{"printer", "127.0.0.1", "9100", "127.0.0.1",
                                                                  "631", "/printers/printer", "", "", ""}));
    EXPECT_EQ(KeyFields(r.printers[1]),
              (std::vector<std::string>{"Laser", "10.0.0.5", "9101", "print.example.com:631", "8631",
                                        "/printers/Laser", "anna", "s3cret", "2nd floor"}));
    const TAList& e = r.printers[0];
    EXPECT_EQ(e.StatusText, "");
    EXPECT_EQ(e.GatewayState, 0);
    EXPECT_FALSE(e.GatewayProcess.valid());
    EXPECT_EQ(r.proxy.Proxy, "");
    EXPECT_EQ(r.proxy.ProxyPort, "80");
    EXPECT_EQ(r.proxy.ProxyUsername, "");
    EXPECT_EQ(r.proxy.ProxyPassword, "");
    EXPECT_EQ(ReadText("<printer>\nname=Office\n<endprinter>\n").printers.at(0).url, "/printers/printer")
        << "the url's default ignores a later name";
}

TEST(PrintersFileReader, KeysAreLowerCasedButNeverTrimmed)
{
    Read r = ReadText(
        "<PRINTER>\nNaMe=Office\n name=Spaced\nname =Before\nURL=/printers/a=b\nComment= leading\n"
        "user=trailing \n<EndPrinter>\n");
    ASSERT_EQ(r.printers.size(), 1u);
    const TAList& e = r.printers[0];
    EXPECT_EQ(e.name, "Office");
    EXPECT_EQ(e.url, "/printers/a=b");
    EXPECT_EQ(e.comment, " leading");
    EXPECT_EQ(e.user, "trailing ");
    // "NÉV" in the Central European code page: the accented byte stays, so the key is unknown.
    EXPECT_EQ(ReadText("<printer>\nN\xC9V=x\n<endprinter>\n").printers.at(0).name, "printer");
}

TEST(PrintersFileReader, EncryptionOfTheGlobalBlockIsEveryEntrysDefault)
{
    // The global value reaches entries above it too; an entry's own value wins; outside the block
    // the key belongs to the entry of the latest "<printer>" line, even after its "<endprinter>".
    Read r = ReadText("<printer>\nname=A\n<endprinter>\n"
                      "<global>\nEncryption=Required\n<endglobal>\n"
                      "<printer>\nname=B\nencryption=Never\n<endprinter>\n"
                      "<printer>\nname=C\n<endprinter>\nencryption=ifrequested\n");
    ASSERT_EQ(r.printers.size(), 3u);
    EXPECT_EQ(r.printers[0].encryption, "Required");
    EXPECT_EQ(r.printers[1].encryption, "Never");
    EXPECT_EQ(r.printers[2].encryption, "ifrequested");
    EXPECT_EQ(r.proxy.Encryption, "Required");
}

TEST(PrintersFileReader, LineEndsOddLinesAndAByteOrderMark)
{
    // CR LF and LF line ends, a line without "=", an empty line, a last line without a line end.
    Read r = ReadText("<printer>\r\nname=A\r\n\r\njust text\nuser=u\r\n<endprinter>");
    ASSERT_EQ(r.printers.size(), 1u);
    EXPECT_EQ(r.printers[0].name, "A");
    EXPECT_EQ(r.printers[0].user, "u");

    // A CR inside a line is text.
    r = ReadText("<printer>\nname=A\rB\n<endprinter>\n");
    EXPECT_EQ(r.printers.at(0).name, "A\rB");

    // A byte order mark is skipped only at the start.
    EXPECT_EQ(ReadText("\xEF\xBB\xBF<printer>\nname=A\n<endprinter>\n").printers.at(0).name, "A");
    EXPECT_EQ(ReadText("<printer>\n\xEF\xBB\xBFname=B\n<endprinter>\n").printers.at(0).name, "printer");
}

// Notepad's "Unicode" and its big-endian twin: the same entries as the UTF-8 copy, byte for byte,
// including a letter outside the basic plane; a lone surrogate cannot make bad UTF-8.
TEST(PrintersFileReader, Utf16FilesReadAsTheirUtf8Copy)
{
    const std::u16string text = u"<global>\r\nwatch=5\r\n<endglobal>\r\n<printer>\r\nname=Kettő ő \U0001F5A8\r\n"
                                u"comment=Pénzügy\r\nlocalport=-1\r\n<endprinter>\r\n";
    auto encode = [&](bool bigEndian) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t u : text) {
            const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
            bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
        }
        return bytes;
    };
    for (bool bigEndian : {false, true}) {
        Read r = ReadText(encode(bigEndian));
        ASSERT_EQ(r.printers.size(), 1u) << bigEndian;
        EXPECT_EQ(r.printers[0].name, "Kett\xC5\x91 \xC5\x91 \xF0\x9F\x96\xA8") << bigEndian;
        EXPECT_EQ(r.printers[0].comment, "P\xC3\xA9nz\xC3\xBCgy");
        EXPECT_EQ(r.printers[0].localport, -1);
        EXPECT_EQ(r.proxy.Watch, 5);
    }
    EXPECT_EQ(Utf16ToUtf8(std::string("\x00\xD8" "A\x00" "B", 5), false), "\xEF\xBF\xBD" "A");
}

TEST(PrintersFileReader, ProxyKeysApplyWhereverTheyStand)
{
    Read r = ReadText(
        "<global>\nproxy=gw.example.com\nproxyport=3128 \n<endglobal>\n"
        "<printer>\nproxyuser=pu\nPROXYPASS=p=w\n<endprinter>\nproxy=later.example.com\n");
    EXPECT_EQ(r.proxy.Proxy, "later.example.com");
    EXPECT_EQ(r.proxy.ProxyPort, "3128 ");
    EXPECT_EQ(r.proxy.ProxyUsername, "pu");
    EXPECT_EQ(r.proxy.ProxyPassword, "p=w");
    EXPECT_EQ(r.printers.size(), 1u);
    EXPECT_EQ(r.proxy.Watch, 0) << "no watch key: the watch stays off";
}

TEST(PrintersFileReader, WatchKeyTakesTheNumberRuleWhereverItStands)
{
    EXPECT_EQ(ReadText("<printer>\nWATCH=5\n<endprinter>\n").proxy.Watch, 5);
    EXPECT_EQ(ReadText("watch=$10\nwatch=7 s\n").proxy.Watch, 7) << "the last one, digits before the space";
    EXPECT_EQ(ReadText("watch=-3\n").proxy.Watch, -3);
    EXPECT_EQ(ReadText("watch =5\n").proxy.Watch, 0) << "a space before the = makes another key";
    EXPECT_EQ(ReadText("<printer>\nWatchDevice=1\n<endprinter>\n").proxy.WatchDevice, 1);
    EXPECT_EQ(ReadText("watch=5\n").proxy.WatchDevice, 0) << "the printer behind a queue is asked only on request";
}

TEST(PrintersFileReader, DirectMarksAPrinterAndRequestTimeoutIsGlobal)
{
    const Read r = ReadText("<printer>\nname=a\ndirect=1\nrequesttimeout=30\n<endprinter>\n"
                            "<printer>\nname=b\ndirect=Yes\n<endprinter>\n"
                            "<printer>\nname=c\ndirect=0\n<endprinter>\n<printer>\nname=d\n<endprinter>\n");
    ASSERT_EQ(r.printers.size(), 4u);
    EXPECT_TRUE(r.printers[0].direct);
    EXPECT_TRUE(r.printers[1].direct);
    EXPECT_FALSE(r.printers[2].direct);
    EXPECT_FALSE(r.printers[3].direct);
    EXPECT_EQ(r.proxy.RequestTimeout, 30);
    EXPECT_EQ(ReadText("").proxy.RequestTimeout, 0);
}

TEST(PrintersFileReader, PrintersAreListedInEndprinterOrderWithDuplicateNames)
{
    Read r = ReadText(
        "<printer>\nname=Same\ncomment=first\n<endprinter>\n"
        "<printer>\nname=Other\n<endprinter>\n"
        "<printer>\nname=Same\ncomment=second\n<endprinter>\n");
    ASSERT_EQ(r.printers.size(), 3u);
    EXPECT_EQ(r.printers[0].comment, "first");
    EXPECT_EQ(r.printers[1].name, "Other");
    EXPECT_EQ(r.printers[2].comment, "second");
}

TEST(PrintersFileReader, KeysAfterEndprinterChangeTheClosedEntry)
{
    Read r = ReadText(
        "<printer>\nname=A\n<endprinter>\nname=Renamed\ncomment=after\n<printer>\nname=B\n<endprinter>\n");
    ASSERT_EQ(r.printers.size(), 2u);
    EXPECT_EQ(r.printers[0].name, "Renamed");
    EXPECT_EQ(r.printers[0].comment, "after");
    // Its gateway had already been started with the name it had at "<endprinter>".
    ASSERT_EQ(r.gateways.size(), 2u);
    EXPECT_EQ(r.gateways[0].name, "A");
}

TEST(PrintersFileReader, GatewaysStartInFileOrderForLocalportZeroOrMore)
{
    Read r = ReadText(
        "<printer>\nname=A\nlocalport=9100\n<endprinter>\n"
        "<printer>\nname=B\nlocalport=-1\n<endprinter>\n"
        "<printer>\nname=C\nlocalport=\n<endprinter>\n"
        "<printer>\nname=D\n<endprinter>\n",
        "/srv/conf/");
    ASSERT_EQ(r.printers.size(), 4u);
    EXPECT_EQ(r.printers[2].localport, 0);
    ASSERT_EQ(r.gateways.size(), 3u);
    EXPECT_EQ(r.gateways[0].name, "A");
    EXPECT_EQ(r.gateways[1].name, "C");
    EXPECT_EQ(r.gateways[2].name, "D");
    EXPECT_EQ(r.gateways[0].configDir, "/srv/conf/");
    // Each one right after its own entry was appended, before the next block was read.
    EXPECT_EQ(r.gateways[0].listedAtStart, 1u);
    EXPECT_EQ(r.gateways[1].listedAtStart, 3u);
    EXPECT_EQ(r.gateways[2].listedAtStart, 4u);
    EXPECT_EQ(r.printers[1].GatewayState, 0);
}

TEST(PrintersFileReader, GatewayStarterSeesTheListedEntry)
{
    PrinterList printers;
    ProxySettings proxy;
    PrintersFileReader reader(printers, proxy, "", [&](TAList& entry, const std::string&) {
        EXPECT_EQ(&entry, &printers.back());
        entry.GatewayState = -1;  // as a failed start records it
    });
    std::istringstream in("<printer>\n<endprinter>\n<printer>\n<endprinter>\n");
    reader.ReadAll(in);
    ASSERT_EQ(printers.size(), 2u);
    EXPECT_EQ(printers[0].GatewayState, -1);
    EXPECT_EQ(printers[1].GatewayState, -1);
}

TEST(PrintersFileReader, KeysBeforeTheFirstPrinterAreIgnored)
{
    Read r = ReadText("name=Stray\nlocalport=1\n<endprinter>\n<printer>\n<endprinter>\n");
    ASSERT_EQ(r.printers.size(), 1u);
    EXPECT_EQ(r.printers[0].name, "printer");
    EXPECT_EQ(r.printers[0].localport, 9100);
    EXPECT_EQ(r.gateways.size(), 1u);
}

TEST(PrintersFileReader, RepeatedEndprinterAppendsNothing)
{
    Read r = ReadText("<printer>\nname=A\n<endprinter>\ncomment=x\n<endprinter>\n<endprinter>\n");
    ASSERT_EQ(r.printers.size(), 1u);
    EXPECT_EQ(r.gateways.size(), 1u);
    EXPECT_EQ(r.printers[0].comment, "x");
}

TEST(PrintersFileReader, UnclosedBlockIsDropped)
{
    // A "<printer>" whose block never ends is not listed; the next block starts afresh.
    Read r = ReadText("<printer>\nname=Lost\n<printer>\nuser=u\n<endprinter>\n<printer>\nname=Tail\n");
    ASSERT_EQ(r.printers.size(), 1u);
    EXPECT_EQ(r.printers[0].name, "printer");
    EXPECT_EQ(r.printers[0].user, "u");
}

TEST(PrintersFileReader, OnlyAGlobalBlockGivesNoPrinters)
{
    Read r = ReadText("<global>\nproxy=p\n<endglobal>\n");
    EXPECT_TRUE(r.printers.empty());
    EXPECT_EQ(r.proxy.Proxy, "p");
}

TEST(PrintersFileReader, LastValueWins)
{
    Read r = ReadText("<printer>\nname=A\nname=B\nlocalport=1\nlocalport=2\n<endprinter>\n");
    EXPECT_EQ(r.printers.at(0).name, "B");
    EXPECT_EQ(r.printers.at(0).localport, 2);
}

TEST(NumberOfValue, FollowsTheFileRule)
{
    const struct {
        const char* text;
        std::int32_t number;
    } cases[] = {
        {"9100", 9100},       {"9100 ", 9100},  {"   42", 42},       {"abc", 0},
        {"", 0},              {"-1", -1},       {"-1x", 1},         {"+7", 7},
        {"-", 0},             {" -5", -5},      {"-5 ", 5},         {"\t5", 0},
        {"007", 7},           {"1 2", 1},       {"$1F", 31},        {"x1f", 31},
        {"X10", 16},          {"0x10", 16},     {"0X1g", 1},        {"$", 0},
        {"-$10", 0},          {"+0x10", 0},     {"0", 0},           {"0x", 0},
        {"$FFFFFFFF", -1},    {"$7fffffff", 2147483647},           {"$100000000", 268435456},
        {"2147483647", 2147483647},            {"-2147483648", -2147483647 - 1},
        {"2147483648", 214748364},             {"99999999999", 999999999},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NumberOfValue(c.text), c.number) << '"' << c.text << '"';
}

// ---------------------------------------------------------------------------------------------
// Locating

struct Probe {
    std::vector<std::string> tried;
    std::vector<std::string> present;
    std::function<bool(const std::string&)> Exists()
    {
        return [this](const std::string& path) {
            tried.push_back(path);
            return std::find(present.begin(), present.end(), path) != present.end();
        };
    }
};

TEST(LocatePrintersFile, TriesEachPlaceInOrder)
{
    PrintersFileSearch s{std::nullopt, "/home/u/.config", "/home/u"};
    Probe p;
    EXPECT_EQ(LocatePrintersFile(s, p.Exists()), std::nullopt);
    EXPECT_EQ(p.tried, (std::vector<std::string>{"printers.qdl",
                                                 "/home/u/.config/Dorvane/Quenlo/printers.qdl",
                                                 "/home/u/printers.qdl", "printers.qdl"}));

    p = Probe{{}, {"/home/u/printers.qdl"}};
    EXPECT_EQ(LocatePrintersFile(s, p.Exists()), "/home/u/");
    p = Probe{{}, {"/home/u/printers.qdl", "/home/u/.config/Dorvane/Quenlo/printers.qdl"}};
    EXPECT_EQ(LocatePrintersFile(s, p.Exists()), "/home/u/.config/Dorvane/Quenlo/");
}

TEST(LocatePrintersFile, ConfDirIsAPlainPrefix)
{
    Probe p{{}, {"/srv/confprinters.qdl", "/srv/conf/printers.qdl"}};
    EXPECT_EQ(LocatePrintersFile({"/srv/conf", "", ""}, p.Exists()), "/srv/conf");
    EXPECT_EQ(p.tried.front(), "/srv/confprinters.qdl");
    EXPECT_EQ(LocatePrintersFile({"/srv/conf/", "", ""}, p.Exists()), "/srv/conf/");
}

TEST(LocatePrintersFile, EmptyConfDirPrefersTheCurrentDirectory)
{
    Probe p{{}, {"printers.qdl", "/cfg/Dorvane/Quenlo/printers.qdl"}};
    EXPECT_EQ(LocatePrintersFile({std::string(), "/cfg", "/home/u"}, p.Exists()), "");
}

TEST(LocatePrintersFile, MissingConfDirFallsBackToTheOtherPlaces)
{
    Probe p{{}, {"/cfg/Dorvane/Quenlo/printers.qdl"}};
    EXPECT_EQ(LocatePrintersFile({"/nowhere/", "/cfg", "/home/u"}, p.Exists()), "/cfg/Dorvane/Quenlo/");
    // Without a config home or a home, only the current directory is left.
    Probe q;
    EXPECT_EQ(LocatePrintersFile({std::nullopt, "", ""}, q.Exists()), std::nullopt);
    for (const std::string& t : q.tried)
        EXPECT_EQ(t, "printers.qdl");
}

// Real files: a private HOME and XDG_CONFIG_HOME, restored afterwards.
class LocateOnDisk : public ::testing::Test {
protected:
    LocateOnDisk() { std::filesystem::create_directories(root_ + "/home/.config/Dorvane/Quenlo"); }

    test::PrivateHome home_{"config-test"};
    const std::string root_ = home_.Root();
};

TEST_F(LocateOnDisk, SettingsFileNamesTheDirectory)
{
    const std::string conf = root_ + "/shared/";
    WriteFile(conf + "printers.qdl", "<printer>\nname=FromConfDir\n<endprinter>\n");
    WriteFile(root_ + "/home/.config/Dorvane/Quenlo/printers.qdl", "<printer>\n<endprinter>\n");
    WriteFile(root_ + "/home/.config/Dorvane/Quenlo.conf", "[General]\nConfDir=" + conf + "\n");

    auto dir = LocatePrintersFile();
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, conf);
    PrinterList printers;
    ProxySettings proxy;
    ASSERT_TRUE(ReadPrintersFile(*dir, printers, proxy));
    EXPECT_EQ(printers.at(0).name, "FromConfDir");
}

TEST_F(LocateOnDisk, XdgConfigHomeReplacesTheDefault)
{
    const std::string xdg = root_ + "/xdg";
    WriteFile(xdg + "/Dorvane/Quenlo/printers.qdl", "");
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    EXPECT_EQ(LocatePrintersFile(), xdg + "/Dorvane/Quenlo/");
    // A relative XDG_CONFIG_HOME is not a place.
    ::setenv("XDG_CONFIG_HOME", "xdg", 1);
    EXPECT_EQ(LocatePrintersFile(), std::nullopt);
}

TEST_F(LocateOnDisk, CurrentDirectoryThenHome)
{
    WriteFile(root_ + "/home/printers.qdl", "");
    EXPECT_EQ(LocatePrintersFile(), root_ + "/home/");
    WriteFile(root_ + "/work/printers.qdl", "");
    EXPECT_EQ(LocatePrintersFile(), "");
}

TEST_F(LocateOnDisk, ADirectoryIsNotTheFile)
{
    std::filesystem::create_directories(root_ + "/work/printers.qdl");
    EXPECT_EQ(LocatePrintersFile(), std::nullopt);
    PrinterList printers;
    ProxySettings proxy;
    EXPECT_FALSE(ReadPrintersFile("", printers, proxy));
    EXPECT_FALSE(ReadPrintersFile(root_ + "/absent/", printers, proxy));
    EXPECT_TRUE(printers.empty());
    EXPECT_EQ(proxy.ProxyPort, "80");
}

TEST_F(LocateOnDisk, ReadsBytesAsTheyStand)
{
    // Windows-1250 bytes, a NUL inside a value, CR LF line ends.
    const char raw[] = "<printer>\r\nname=Nyomtat\xF3 \xE1\r\ncomment=a\0b\r\n<endprinter>\r\n";
    WriteFile(root_ + "/work/printers.qdl", std::string(raw, sizeof raw - 1));
    PrinterList printers;
    ProxySettings proxy;
    ASSERT_TRUE(ReadPrintersFile("", printers, proxy));
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].name, "Nyomtat\xF3 \xE1");
    EXPECT_EQ(printers[0].comment, std::string("a\0b", 3));
}

// Which encoding `add` writes new entries in: a code page 1250 file with a single accented letter
// (one byte that starts no UTF-8 sequence) gets code page 1250; a UTF-8 file keeps UTF-8 as long as
// its stray bytes are no more than its multi-byte letters.
TEST(PrintersFileWriter, EncodingOfAFileAsFewAccentedLettersTellIt)
{
    const std::string head = "<printer>\nname=";
    const std::string tail = "\n<endprinter>\n";
    EXPECT_EQ(LayoutOfFile(head + "Nyomtat\xF3" + tail).charset, FileCharset::Cp1250);
    EXPECT_EQ(BytesToAppend(LayoutOfFile(head + "Nyomtat\xF3" + tail), "name=\xC3\xA9\n"), "name=\xE9\n");
    EXPECT_EQ(LayoutOfFile(head + "Nyomtat\xC3\xB3 \xE9" + tail).charset, FileCharset::Utf8);
    EXPECT_EQ(LayoutOfFile(head + "Nyomtat\xC3\xB3 \xE9\xE1" + tail).charset, FileCharset::Cp1250);
    EXPECT_EQ(LayoutOfFile(head + "Nyomtato" + tail).charset, FileCharset::Utf8);
}

}  // namespace
}  // namespace quenlo
