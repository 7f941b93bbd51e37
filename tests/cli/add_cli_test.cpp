// quenlo-cli add: a server's queues into the printers file, as a new user runs it, against a private
// CUPS server of its own (so the queues it lists are exactly the ones made here) and a scripted
// server that refuses.
#include "monitor/MonitorTestKit.h"
#include "support/CupsLab.h"
#include "support/ScriptedPeer.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quenlo::test {
namespace {

namespace fs = std::filesystem;

// One server for this file, with a printer whose name code page 1250 cannot hold, one with an
// accented description and a class holding it.
CupsLab* AddLab()
{
    static std::unique_ptr<CupsLab> lab = [] {
        std::unique_ptr<CupsLab> made;
        if (!CupsLab::MissingTools().empty())
            return made;
        try {
            made = std::make_unique<CupsLab>();
            made->Script("add-printer", {"Irodai", "Első emelet, lépcső mellett"});
            made->Script("add-printer", {"Görög-Ω", "Athén"});
            made->Script("add-class", {"Csoport", "Irodai"});
        } catch (const std::exception&) {
            made.reset();
        }
        return made;
    }();
    return lab.get();
}

#define REQUIRE_ADD_LAB(var)                                                                 \
    CupsLab* var##_ptr = AddLab();                                                           \
    if (var##_ptr == nullptr) {                                                              \
        if (InCi())                                                                          \
            GTEST_FAIL() << "CUPS lab needed under CI: " << CupsLab::MissingTools();        \
        GTEST_SKIP() << "CUPS lab not available: " << CupsLab::MissingTools();              \
    }                                                                                        \
    CupsLab& var = *var##_ptr

class AddCommand : public ::testing::Test {
protected:
    AddCommand() { dir_.Folder("home"); }

    // quenlo-cli in a fresh home, from a working folder that is not the home.
    ProcessResult Cli(std::vector<std::string> args)
    {
        std::vector<std::string> argv{"/usr/bin/env", "-u", "XDG_CONFIG_HOME", "LC_ALL=C", "HOME=" + root_ + "/home",
                                      "--chdir=" + root_, QUENLO_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, std::chrono::seconds(60));
    }
    static std::string Bytes(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

    TempDir dir_{"add-cli"};
    const std::string root_ = dir_.Path();
};

TEST_F(AddCommand, EmptyHomeGetsAFileTheMonitorUsesAndASecondRunAddsNothing)
{
    REQUIRE_ADD_LAB(lab);
    const ProcessResult first = Cli({"add", lab.HostPort()});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::string file = root_ + "/home/.config/Dorvane/Quenlo/printers.qdl";
    EXPECT_NE(first.err.find(file), std::string::npos) << first.err;
    const std::string host = lab.HostPort();
    EXPECT_EQ(Bytes(file), "<global>\nadmin=1\nwatch=30\n<endglobal>\n<printer>\nname=Csoport\nremotehost=" + host +
                               "\nurl=/classes/Csoport\nlocalport=-1\ncomment=Csoport\n<endprinter>\n"
                               "<printer>\nname=Görög-Ω\nremotehost=" + host +
                               "\nurl=/printers/G%C3%B6r%C3%B6g-%CE%A9\nlocalport=-1\ncomment=Athén\n<endprinter>\n"
                               "<printer>\nname=Irodai\nremotehost=" + host +
                               "\nurl=/printers/Irodai\nlocalport=-1\ncomment=Első emelet, lépcső mellett\n"
                               "<endprinter>\n");

    // The monitor finds the file itself and reaches each queue, the class and the encoded name too.
    for (const char* name : {"Csoport", "Görög-Ω", "Irodai"}) {
        const ProcessResult refresh = Cli({"refresh", "--printer", name});
        EXPECT_EQ(refresh.exitCode, 0) << name << "\n" << refresh.out << refresh.err;
    }

    const std::string written = Bytes(file);
    const ProcessResult again = Cli({"add", lab.HostPort()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.out.find("added"), std::string::npos) << again.out;
    EXPECT_EQ(Bytes(file), written);
    EXPECT_EQ(Cli({"add", lab.HostPort(), "--dry-run"}).out.find("<printer>"), std::string::npos);
}

TEST_F(AddCommand, OldFilesKeepTheirBytesEncodingAndLineEnds)
{
    REQUIRE_ADD_LAB(lab);
    // Code page 1250 with CR LF, an entry already named "Irodai" and no line end at the very end.
    const std::string cp1250 = root_ + "/cp1250.qdl";
    const std::string old1250 = "<printer>\r\nname=Irodai\r\ncomment=r\xE9gi \xE1rv\xEDzt\xFBr\r\n<endprinter>";
    Write(cp1250, old1250);
    const ProcessResult r = Cli({"add", lab.HostPort(), "--config", cp1250, "--user", "anna", "--pass", "titok"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("skipped G\xC3\xB6r\xC3\xB6g-\xCE\xA9"), std::string::npos) << r.err;
    const std::string after = Bytes(cp1250);
    ASSERT_EQ(after.substr(0, old1250.size()), old1250);
    EXPECT_EQ(after.substr(old1250.size()),
              "\r\n<printer>\r\nname=Csoport\r\nremotehost=" + lab.HostPort() +
                  "\r\nurl=/classes/Csoport\r\nlocalport=-1\r\ncomment=Csoport\r\nuser=anna\r\npass=titok\r\n"
                  "<endprinter>\r\n<printer>\r\nname=Irodai (127.0.0.1)\r\nremotehost=" + lab.HostPort() +
                  "\r\nurl=/printers/Irodai\r\nlocalport=-1\r\ncomment=Els\xF5 emelet, l\xE9pcs\xF5 mellett\r\n"
                  "user=anna\r\npass=titok\r\n<endprinter>\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(cp1250.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "it holds a password now";

    // UTF-16 (Notepad's "Unicode") stays UTF-16 in its byte order; the reader takes the new entries.
    for (const bool bigEndian : {false, true}) {
        const std::string file = root_ + (bigEndian ? "/be.qdl" : "/le.qdl");
        std::string old = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (char c : std::string("<printer>\r\nname=Regi\r\n<endprinter>\r\n"))
            old += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
        Write(file, old);
        const ProcessResult u = Cli({"add", lab.HostPort() + "/printers/Irodai", "--config", file});
        ASSERT_EQ(u.exitCode, 0) << u.err;
        const std::string bytes = Bytes(file);
        ASSERT_EQ(bytes.substr(0, old.size()), old);
        const std::string e = bigEndian ? std::string("\x01\x51") : std::string("\x51\x01");  // "ő", U+0151
        EXPECT_NE(bytes.find(e, old.size()), std::string::npos);
        const std::string crlf = bigEndian ? std::string("\0\r\0\n", 4) : std::string("\r\0\n\0", 4);
        EXPECT_EQ(bytes.substr(bytes.size() - 4), crlf);
        const ProcessResult config = Cli({"config", "--file", file});
        EXPECT_NE(config.out.find("\nIrodai\t127.0.0.1\t-1\t" + lab.HostPort() +
                                  "\t631\t/printers/Irodai\t\t\tElső emelet, lépcső mellett\t"),
                  std::string::npos)
            << config.out;
    }
}

// A full disk, and two runs at once: the file is always whole, and holds every queue once.
TEST_F(AddCommand, TheFileIsReplacedWholeOnlyWhenTheNewOneIsWrittenAndRunsTakeTurns)
{
    REQUIRE_ADD_LAB(lab);
    // A file of exactly one page, so that the new entries need a page more than the disk has.
    std::string old = "<printer>\nname=Régi\ncomment=";
    const std::string tail = "\n<endprinter>\n";
    old += std::string(4096 - old.size() - tail.size(), 'x') + tail;
    Write(root_ + "/old.qdl", old);
    fs::create_directory(root_ + "/full");
    // A small tmpfs of a private mount namespace, filled up before the run.
    const std::string script = "mount -t tmpfs -o size=64k tmpfs \"$1\" && cp \"$2\" \"$1/printers.qdl\" || exit 99\n"
                               "dd if=/dev/zero of=\"$1/fill\" bs=4096 2>/dev/null\n"
                               "dir=$1 copy=$3; shift 3; \"$@\"; status=$?\n"
                               "cp \"$dir/printers.qdl\" \"$copy\"; ls -A \"$dir\" >\"$copy.list\"; exit $status\n";
    const ProcessResult full = RunProcess(
        {"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script, "sh", root_ + "/full", root_ + "/old.qdl",
         root_ + "/after.qdl", QUENLO_CLI, "add", lab.HostPort(), "--config", root_ + "/full/printers.qdl"},
        std::chrono::seconds(60));
    ASSERT_NE(full.exitCode, 99) << "cannot mount a tmpfs: " << full.err;
    EXPECT_EQ(full.exitCode, 1) << full.out << full.err;
    EXPECT_EQ(full.out.find("added"), std::string::npos) << full.out;
    EXPECT_NE(full.err.find("No space left"), std::string::npos) << full.err;
    EXPECT_EQ(Bytes(root_ + "/after.qdl"), old);
    EXPECT_EQ(Bytes(root_ + "/after.qdl.list").find(".new"), std::string::npos) << Bytes(root_ + "/after.qdl.list");

    // Both runs ask the server before they write: each must see what the other wrote meanwhile.
    const std::string file = root_ + "/shared.qdl";
    ProcessResult runs[2];
    std::thread other([&] { runs[1] = Cli({"add", lab.HostPort(), "--config", file}); });
    runs[0] = Cli({"add", lab.HostPort(), "--config", file});
    other.join();
    std::size_t added = 0;
    for (const ProcessResult& r : runs) {
        EXPECT_EQ(r.exitCode, 0) << r.err;
        for (std::size_t at = 0; (at = r.out.find("added\t", at)) != std::string::npos; ++at)
            ++added;
    }
    EXPECT_EQ(added, 3u) << runs[0].out << runs[1].out;
    const std::string both = Bytes(file);
    for (const char* url :
         {"url=/classes/Csoport\n", "url=/printers/Irodai\n", "url=/printers/G%C3%B6r%C3%B6g-%CE%A9\n"})
        EXPECT_EQ(both.find(url), both.rfind(url)) << url << " twice in\n" << both;
}

// A server's name with a byte that is not UTF-8, added to a UTF-8 file that an older version left
// such a byte in already: the file stays UTF-8, and the byte becomes U+FFFD.
TEST_F(AddCommand, BytesThatAreNotUtf8BecomeReplacementCharactersAndTheFileStaysUtf8)
{
    ScriptedPeer server;
    Answer(server, HttpOk(IppAnswer()
                              .Tag(0x04)
                              .Text(0x42, "printer-name", "Caf\xE9")
                              .Text(0x41, "printer-info", "Pult \x9B" "2J")
                              .Integer(0x23, "printer-type", 0)
                              .End()
                              .str()));
    const std::string file = root_ + "/printers.qdl";
    const std::string old = "<printer>\nname=Görög\n<endprinter>\n<printer>\nname=R\xE9gi\n<endprinter>\n";
    Write(file, old);
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    const ProcessResult r = Cli({"add", host, "--config", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "added\tCaf\xEF\xBF\xBD\t" + host + "/printers/Caf%E9\n");
    EXPECT_EQ(Bytes(file), old + "<printer>\nname=Caf\xEF\xBF\xBD\nremotehost=" + host +
                               "\nurl=/printers/Caf%E9\nlocalport=-1\ncomment=Pult \xEF\xBF\xBD" "2J\n<endprinter>\n");
}

TEST_F(AddCommand, AServerThatRefusesTheListWritesNothing)
{
    ScriptedPeer server;
    Answer(server, HttpOk(IppAnswer(0x0501).End().str()));  // server-error-operation-not-supported
    const std::string file = root_ + "/printers.qdl";
    // Given as a queue's address is often copied: with its scheme, and the server's root as path.
    const ProcessResult r = Cli({"add", "ipp://127.0.0.1:" + std::to_string(server.Port()) + "/", "--config", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("CUPS-Get-Printers"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("quenlo-cli add 127.0.0.1:" + std::to_string(server.Port()) + "/printers/NAME"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(file));
    for (const char* bad : {"127.0.0.1:0x", "127.0.0.1:", "[::1]:", "anna@127.0.0.1", "ipp://:631"})
        EXPECT_EQ(Cli({"add", bad}).exitCode, 2) << bad;
}

}  // namespace
}  // namespace quenlo::test
