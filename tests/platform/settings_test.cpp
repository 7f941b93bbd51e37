// The read-only settings file (the ConfDir setting).
#include "platform/Settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace quenlo::platform {
namespace {

std::optional<std::string> ConfDirOf(const std::string& text)
{
    return Settings::Parse(text).Text("ConfDir");
}

// The lines below are what the desktop settings writer produces for those values.
TEST(Settings, PlainAndQuotedValues)
{
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/srv/printers/\n"), "/srv/printers/");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir = /srv/p/  \n"), "/srv/p/");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=\"  /with spaces/ \"\n"), "  /with spaces/ ");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/inner space/x/\n"), "/inner space/x/");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=\n"), "");
    EXPECT_EQ(ConfDirOf("[General]\r\nConfDir=/crlf/\r\n"), "/crlf/");
    // Commas and "=" are quoted by the writer; a quoted comma is text.
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=\"/a,b=c;d/\"\n"), "/a,b=c;d/");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=\" /lead and trail/ \"\n"), " /lead and trail/ ");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/nyomtat\xC3\xB3/\n"), "/nyomtat\xC3\xB3/");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=\\\"q\\\"\n"), "\"q\"");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/tab\\tx/\n"), "/tab\tx/");
}

TEST(Settings, Escapes)
{
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=C:\\\\conf\\\\\n"), "C:\\conf\\");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=\"say \\\"hi\\\"\"\n"), "say \"hi\"");
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=a\\tb\\x41\\101\n"), "a\tbAA");
    // Characters beyond ASCII written as \x escapes come back as UTF-8.
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/nyomtat\\xf3/\n"), "/nyomtat\xC3\xB3/");
    // A backslash at the end of the line continues the value.
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/long/\\\npath/\n"), "/long/path/");
}

TEST(Settings, OnlyTopLevelKeysCount)
{
    EXPECT_EQ(ConfDirOf("ConfDir=/before/\n[Other]\nx=1\n"), "/before/");
    EXPECT_EQ(ConfDirOf("[Other]\nConfDir=/elsewhere/\n"), std::nullopt);
    EXPECT_EQ(ConfDirOf("[General]\nGroup\\ConfDir=/grouped/\n"), std::nullopt);
    EXPECT_EQ(ConfDirOf("[General]\nconfdir=/lower/\n"), std::nullopt);
    EXPECT_EQ(ConfDirOf("[General]\n; ConfDir=/comment/\n# ConfDir=/comment/\n"), std::nullopt);
    EXPECT_EQ(ConfDirOf("[General]\nConf%44ir=/escaped-key/\n"), "/escaped-key/");
    // The last of two wins.
    EXPECT_EQ(ConfDirOf("[General]\nConfDir=/one/\nConfDir=/two/\n"), "/two/");
}

TEST(Settings, ValuesThatAreNotText)
{
    Settings s = Settings::Parse(
        "[General]\nList=a, b\nPoint=@Point(1 2)\nBytes=@ByteArray(/from/bytes/)\nAt=@@home\n");
    EXPECT_TRUE(s.Has("List"));
    EXPECT_EQ(s.Text("List"), std::nullopt);
    EXPECT_EQ(s.Text("Point"), std::nullopt);
    EXPECT_EQ(s.Text("Bytes"), "/from/bytes/");
    EXPECT_EQ(s.Text("At"), "@home");
    EXPECT_FALSE(s.Has("Missing"));
}

TEST(Settings, BrokenTextNeverFails)
{
    for (const char* text : {"[General", "=x\n", "\\", "ConfDir=\"unclosed", "ConfDir=\\x",
                             "ConfDir=abc\\", "[]\n=\n\n\n", "%U12", "Conf%UZZZZ=1"}) {
        Settings s = Settings::Parse(text);
        (void)s.Text("ConfDir");
    }
    EXPECT_EQ(ConfDirOf("ConfDir=\"unclosed"), "unclosed");
}

TEST(Settings, OpenReadsAFileAndRefusesAMissingOne)
{
    namespace fs = std::filesystem;
    const fs::path temp = fs::temp_directory_path() /
                          ("quenlo-settings-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(temp);
    const std::string dir = temp.string();
    EXPECT_FALSE(Settings::Open(dir + "/absent.conf").has_value());
    EXPECT_FALSE(Settings::Open("").has_value());
    std::ofstream(dir + "/Quenlo.conf") << "[General]\nConfDir=/from/file/\n";
    auto s = Settings::Open(dir + "/Quenlo.conf");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->Text("ConfDir"), "/from/file/");
    std::error_code ignored;
    fs::remove_all(temp, ignored);
}

}  // namespace
}  // namespace quenlo::platform
