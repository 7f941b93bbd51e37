// Passwords kept in a real desktop keyring instead of the printers file (tests/cli/keyring.sh in
// scripts/keyring-session.sh: a private session bus with its own keyring daemon, and the private
// CUPS server as another machine in a network namespace): login checks and keeps, an entry with
// only a user refreshes and runs the six operations, logout forgets; add asks instead of writing a
// pass line; moving the passwords out of a UTF-16 and a code page 1250 file changes no other byte;
// a locked keyring says so; and the password is never in a file, a capture, or any process's arguments or environment.
#include "support/CupsLab.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <sstream>

namespace quenlo::test {
namespace {

TEST(Keyring, LoginRefreshOperationsLogoutAndMovedPasswords)
{
    const std::string missing = CupsLab::MissingTools();
    const bool usable = ::geteuid() == 0 && missing.empty() && ::access("/usr/bin/tcpdump", X_OK) == 0 &&
                        ::access("/usr/bin/gnome-keyring-daemon", X_OK) == 0 &&
                        ::access("/usr/bin/secret-tool", X_OK) == 0 && ::access("/usr/bin/dbus-run-session", X_OK) == 0;
    QUENLO_NEED(usable ? "" : "the keyring test needs root, cupsd, tcpdump, gnome-keyring, secret-tool, dbus " + missing);

    const ProcessResult run = RunProcess({"/usr/bin/unshare", "-n", QUENLO_SOURCE_DIR "/scripts/keyring-session.sh", "--",
                                          QUENLO_SOURCE_DIR "/tests/cli/keyring.sh", QUENLO_CLI},
                                         std::chrono::seconds(300));
    const std::string report = run.out + run.err;
    ASSERT_EQ(run.exitCode, 0) << report;
    std::map<std::string, std::string> v;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        v[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    const auto has = [&](const char* name, const std::string& text) {
        return v[name].find(text) != std::string::npos;
    };

    EXPECT_TRUE(has("no-store", "1 ") && has("no-store", "no session bus")) << report;
    EXPECT_TRUE(has("login-wrong", "1 ") && has("login-wrong", "refused the password")) << report;
    EXPECT_TRUE(has("login", "0 ")) << report;
    EXPECT_TRUE(has("search", "label = Quenlo: qkey")) << report;
    EXPECT_TRUE(has("list", "10.77.0.1:")) << report;
    EXPECT_TRUE(has("refresh", "0 ") && has("refresh", "Quarterly report")) << report;
    for (const char* op : {"op-pause-printer", "op-release-job", "op-hold-job", "op-cancel-job", "op-resume-printer",
                           "op-purge-jobs"})
        EXPECT_TRUE(has(op, "0 ")) << op << "\n" << report;
    EXPECT_TRUE(has("watch", ",laser,")) << report;  // it has looked, so it holds the password
    EXPECT_EQ(v["in-processes"], "0") << report;
    EXPECT_TRUE(has("add", "0 ") && has("add", "kept as")) << report;
    EXPECT_EQ(v["add-file-pass"], "0") << report;
    EXPECT_EQ(v["move-utf16-bytes"], "same 600") << report;
    EXPECT_EQ(v["move-cp1250-bytes"], "same 600") << report;
    EXPECT_EQ(v["move-utf16-kept"], "Apw-utf16-\xC5\x91 Ppw-utf16") << report;
    // The code page's bytes, as the reader hands them to the request: ő is 0xF5 there.
    EXPECT_EQ(v["move-cp1250-kept"].substr(0, 11), "Apw-cp1250-") << report;
    EXPECT_TRUE(has("move-utf16", "stays in the file")) << report;
    EXPECT_TRUE(has("logout", "0 ")) << report;
    EXPECT_EQ(v["search-after"], "0") << report;
    EXPECT_TRUE(has("after-logout", "(401)")) << report;
    EXPECT_TRUE(has("locked", "1 ") && has("locked", "keyring")) << report;
    EXPECT_EQ(v["password-in-clear"], "0") << report;
    EXPECT_EQ(v["file-pass"], "0") << report;
}

}  // namespace
}  // namespace quenlo::test
