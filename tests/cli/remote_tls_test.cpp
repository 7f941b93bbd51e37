// The private CUPS server as another machine (tests/cli/remote-tls.sh in a network namespace):
// with credentials and no encryption key, every request goes over TLS, so a capture of the whole
// exchange never holds the password; a wrong one reads 401. With "encryption=Never" the same
// capture does hold it, which shows the capture sees what it should.
#include "support/CupsLab.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <sstream>

namespace quenlo::test {
namespace {

struct RemoteRun {
    ProcessResult process;
    std::map<std::string, std::string> values;  // first field -> the rest of the line
    std::string Report() const { return process.out + process.err; }
};

RemoteRun RunRemote(const std::string& encryption, bool encryptPrinters)
{
    std::vector<std::string> argv = {"/usr/bin/env", "QUENLO_ENCRYPTION=" + encryption, "unshare", "-n",
                                     QUENLO_SOURCE_DIR "/tests/cli/remote-tls.sh", QUENLO_CLI};
    if (encryptPrinters)
        argv.push_back("--encrypt-printers");
    // Each request costs the server a password check of its own (a few hundred ms here, seconds
    // on a loaded machine): the bound is generous, and ends only a hang.
    RemoteRun run{RunProcess(argv, std::chrono::seconds(540)), {}};
    std::istringstream lines(run.process.out);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t tab = line.find('\t');
        const std::string name = line.substr(0, tab);
        run.values[name == "op" ? line.substr(0, line.find('\t', tab + 1)) : name] =
            tab == std::string::npos ? "" : line.substr(tab + 1);
    }
    return run;
}

class RemoteCups : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string missing = CupsLab::MissingTools();
        const bool usable = ::geteuid() == 0 && missing.empty() && ::access("/usr/bin/tcpdump", X_OK) == 0 &&
                            ::access("/usr/bin/unshare", X_OK) == 0;
        QUENLO_NEED(usable ? "" : "a remote CUPS needs root, cupsd, tcpdump and unshare " + missing);
    }
};

class RemoteTls : public RemoteCups, public ::testing::WithParamInterface<bool> {};

TEST_P(RemoteTls, CredentialsNeverCrossInClearAndAWrongPasswordReads401)
{
    const RemoteRun run = RunRemote("", GetParam());
    ASSERT_EQ(run.process.exitCode, 0) << run.Report();
    // The same rows as a plain refresh shows: the owner's job names and user under job privacy.
    EXPECT_NE(run.values.at("refresh").find("Quarterly report"), std::string::npos) << run.Report();
    for (const char* op : {"pause-printer", "release-job", "hold-job", "cancel-job", "resume-printer", "purge-jobs"})
        EXPECT_EQ(run.values.count(std::string("op\t") + op), 1u) << op << "\n" << run.Report();
    EXPECT_NE(run.values.at("wrong").find("(401)"), std::string::npos) << run.Report();
    EXPECT_GT(std::stol(run.values.at("captured")), 10000) << run.Report();
    EXPECT_EQ(run.values.at("password-in-clear"), "0") << run.Report();
    EXPECT_EQ(run.values.at("plain-server"), "plain hello") << run.Report();
    EXPECT_NE(run.values.at("add").find("url=/printers/laser|"), std::string::npos) << run.Report();
    EXPECT_NE(run.values.at("add").find("|encryption=Required|"), std::string::npos) << run.Report();
}

INSTANTIATE_TEST_SUITE_P(Policies, RemoteTls, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "EncryptionRequired" : "Stock"; });

TEST_F(RemoteCups, NeverSendsThePasswordAsBeforeAndTheCaptureShowsIt)
{
    const RemoteRun run = RunRemote("Never", false);
    ASSERT_EQ(run.process.exitCode, 0) << run.Report();
    EXPECT_NE(run.values.at("password-in-clear"), "0") << run.Report();
    EXPECT_NE(run.values.at("wrong").find("(426)"), std::string::npos) << run.Report();
}

}  // namespace
}  // namespace quenlo::test
