// quenlo-cli config: what the monitor reads from its printers file.
#include "support/CupsLab.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace quenlo::test {
namespace {

class ConfigCommand : public ::testing::Test {
protected:
    ProcessResult Config(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {QUENLO_CLI, "config"});
        return RunProcess(args, std::chrono::seconds(30));
    }

    PrivateHome home_{"config-cli"};
    const std::string root_ = home_.Root();
};

TEST_F(ConfigCommand, PrintsPathEntriesAndProxy)
{
    const std::string file = root_ + "/given.qdl";
    WriteFile(file,
          "<global>\r\nproxy=gw.example.com\r\nproxyport=3128\r\nproxyuser=pu\r\nproxypass=ppw\r\n<endglobal>\r\n"
          "<printer>\r\nname=Office Laser\r\nremotehost=127.0.0.1:631\r\nurl=/printers/Office\r\n"
          "user=anna\r\npass=pw\r\ncomment=2nd floor\r\nlocalport=-1\r\n<endprinter>\r\n"
          "<printer>\r\n<endprinter>\r\n");
    ProcessResult r = Config({"--config", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Config({"--file", file}).out, r.out) << "--file, the older name, names the file too";
    EXPECT_EQ(r.out, file + "\n" +
                         "Office Laser\t127.0.0.1\t-1\t127.0.0.1:631\t631\t/printers/Office\tanna\t********\t"
                         "2nd floor\t\t0\t0\n"
                         "printer\t127.0.0.1\t9100\t127.0.0.1\t631\t/printers/printer\t\t\t\t\t0\t0\n"
                         "proxy\tgw.example.com\nproxyport\t3128\nproxyuser\tpu\nproxypass\t********\n")
        << "no password in the output";

    // The file holds a password: others reading it are warned about, and only that.
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_NE(Config({"--file", file}).err.find("holds a password and others may read it"), std::string::npos);
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    r = Config({"--file", file});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(ConfigCommand, EscapesBytesThatWouldBreakTheLine)
{
    WriteFile(root_ + "/work/printers.qdl",
          "<printer>\nname=tab\there\ncomment=C:\\conf\\ \x01 \xE1rv\xEDzt\xFBr\xF5\n<endprinter>\n");
    ProcessResult r = Config();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("proxy\t")),
              "printers.qdl\ntab\\there\t127.0.0.1\t9100\t127.0.0.1\t631\t/printers/printer\t\t\t"
              "C:\\\\conf\\\\ \\x01 \\xe1rv\\xedzt\\xfbr\\xf5\t\t0\t0\n");
}

// The gateways read the file themselves and may not read UTF-16: such a file warns of the entries
// that start one, and only then.
TEST_F(ConfigCommand, AUtf16FileWithGatewayEntriesIsWarnedOf)
{
    auto utf16 = [](std::u16string_view text) {
        std::string bytes = "\xFF\xFE";
        for (char16_t u : text)
            bytes += std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
        return bytes;
    };
    const std::u16string noGateway = u"<printer>\r\nname=Nyomtató ő\r\nlocalport=-1\r\n<endprinter>\r\n";
    const std::u16string gateway = u"<printer>\r\nname=Kettő\r\n<endprinter>\r\n";
    WriteFile(root_ + "/utf16.qdl", utf16(noGateway));
    ProcessResult r = Config({"--file", root_ + "/utf16.qdl"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Nyomtat\xC3\xB3 \xC5\x91\t"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    WriteFile(root_ + "/utf16.qdl", utf16(noGateway + gateway + gateway));
    r = Config({"--file", root_ + "/utf16.qdl"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("utf16.qdl is saved as UTF-16, but 2 of its printers start a gateway"), std::string::npos)
        << r.err;
    WriteFile(root_ + "/utf8.qdl", "<printer>\nname=Kett\xC5\x91\n<endprinter>\n");
    EXPECT_EQ(Config({"--file", root_ + "/utf8.qdl"}).err, "");
}

TEST_F(ConfigCommand, LocatesTheFileAsTheWindowDoes)
{
    const std::string shared = root_ + "/shared/";
    WriteFile(shared + "printers.qdl", "<printer>\nname=FromSettings\n<endprinter>\n");
    WriteFile(root_ + "/home/printers.qdl", "<printer>\nname=FromHome\n<endprinter>\n");
    ProcessResult r = Config();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\t')), root_ + "/home/printers.qdl\nFromHome");

    WriteFile(root_ + "/home/.config/Dorvane/Quenlo.conf", "[General]\nConfDir=" + shared + "\n");
    r = Config();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\t')), shared + "printers.qdl\nFromSettings");
}

TEST_F(ConfigCommand, MissingOrEmptyFiles)
{
    ProcessResult r = Config();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no printers.qdl found"), std::string::npos) << r.err;

    r = Config({"--file", root_ + "/absent.qdl"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

    // A file without printers is read and shown, with a note.
    WriteFile(root_ + "/work/printers.qdl", "<global>\nproxy=p\n<endglobal>\n");
    r = Config();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "printers.qdl\nproxy\tp\nproxyport\t80\nproxyuser\t\nproxypass\t\n");
    EXPECT_NE(r.err.find("lists no printers"), std::string::npos) << r.err;
}

// Values that could never be sent are read and shown as they stand, and reported.
TEST_F(ConfigCommand, ReportsValuesThatCanNeverBeSent)
{
    WriteFile(root_ + "/work/printers.qdl",
          "<global>\nproxy=gw\texample\nrequesttimeout=90\n<endglobal>\n"
          "<printer>\nname=Inj\nurl=/printers/b\rX-Inj: 1\n<endprinter>\n"
          "<printer>\nname=Eve\nremotehost=eve:631\nurl=/ipp/print\ndirect=1\n<endprinter>\n");
    const ProcessResult r = Config();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.out.find("\t/printers/b\\rX-Inj: 1\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nrequesttimeout\t90\ndirect\tEve\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err,
              "quenlo-cli config: printer \"Inj\": its url holds a control character or space and can never be sent\n"
              "quenlo-cli config: the proxy key holds a control character or space and can never be sent\n");
}

// The conventions of a command-line program: help and version on standard output with 0, a usage
// error on standard error with 2, and the manual page made of the same text as the help.
TEST(CliConventions, HelpVersionAndUsageErrors)
{
    const auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), QUENLO_CLI);
        return RunProcess(args, std::chrono::seconds(30));
    };
    const ProcessResult help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(run({"-h"}).out, help.out);
    const ProcessResult man = run({"--man"});
    ASSERT_EQ(man.exitCode, 0);
    for (const char* command : {"add", "config", "refresh", "watch", "walk-jobs", "get"}) {
        EXPECT_NE(help.out.find("\n  " + std::string(command) + " "), std::string::npos) << command;
        const std::string roffName = std::regex_replace(std::string(command), std::regex("-"), "\\-");
        EXPECT_NE(man.out.find("\n.B " + roffName + " "), std::string::npos) << command;
        const ProcessResult one = run({command, "--help"});
        EXPECT_EQ(one.exitCode, 0) << command;
        EXPECT_EQ(one.out.rfind("usage: quenlo-cli " + std::string(command) + " ", 0), 0u) << one.out;
    }
    EXPECT_NE(man.out.find(".SH EXIT STATUS"), std::string::npos);

    const ProcessResult version = run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("quenlo-cli 0.", 0), 0u) << version.out;

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"no-such-command"}, {"config", "--no-such-option"}, {"config", "extra"}, {"config", "--file"},
             {"config", "--config", ""}, {"config", "--config", "a", "--file", "a"}, {"add"}, {"add", "host:99999"}}) {
        const ProcessResult r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << (bad.empty() ? "" : bad.back());
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: quenlo-cli"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace quenlo::test
