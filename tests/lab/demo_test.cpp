// scripts/demo.sh without a printers file of the user's: the CUPS demo, shown through quenlo-cli
// (or the window's stand-in without a display), and nothing left behind.
#include "support/CupsLab.h"
#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quenlo::test {
namespace {

// Processes whose command line mentions `text`.
int ProcessesMentioning(const std::string& text)
{
    int found = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return 0;
    while (dirent* d = ::readdir(proc)) {
        if (d->d_name[0] < '0' || d->d_name[0] > '9')
            continue;
        std::string cmdline = ReadWholeFile(std::string("/proc/") + d->d_name + "/cmdline");
        if (cmdline.find(text) != std::string::npos)
            ++found;
    }
    ::closedir(proc);
    return found;
}

TEST(Demo, RunsOnAPrivateServerAndLeavesTheUsersConfigurationAlone)
{
    const std::string cli = QUENLO_BINARY_DIR "/cli/quenlo-cli";
    std::string missing = CupsLab::MissingTools();
    if (missing.empty() && ::access(cli.c_str(), X_OK) != 0)
        missing = cli + " is not built";
    QUENLO_NEED(missing);

    PrivateHome home("demo-test");
    const std::string root = home.Root();
    home.env.Set("DISPLAY", std::nullopt);
    home.env.Set("WAYLAND_DISPLAY", std::nullopt);
    home.env.Set("QUENLO_BUILD_DIR", std::string(QUENLO_BINARY_DIR));
    home.env.Set("QUENLO_DEMO_DIR", root + "/demo");
    ProcessResult r = RunProcess({"/bin/bash", QUENLO_SOURCE_DIR "/scripts/demo.sh"}, std::chrono::seconds(240));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // Until the window is built, the demo is shown through quenlo-cli.
    if (::access(QUENLO_BINARY_DIR "/app/quenlo", X_OK) != 0) {
        EXPECT_NE(r.out.find(root + "/demo/printers.qdl\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\nDemo-Laser\t"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\nDemo-Color\t"), std::string::npos) << r.out;
    }
    EXPECT_EQ(ReadWholeFile(root + "/demo/Dorvane/Quenlo.conf"),
              "[General]\nConfDir=\"" + root + "/demo/\"\n");
    EXPECT_TRUE(std::filesystem::is_empty(root + "/home")) << "the user's home was written to";
    EXPECT_EQ(ProcessesMentioning(root + "/demo/cups"), 0) << "the demo's server is still running";
}

}  // namespace
}  // namespace quenlo::test
