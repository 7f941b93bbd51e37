// The kept certificates (TTrustStore) as runs of the program at the same time change them: every
// `trust` and first-use `get` keeps its fingerprint, and nothing planted beside the file is written.
#include "net/TlsTrust.h"
#include "platform/FileUpdate.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quenlo::test {
namespace {

TEST(TrustStore, SixteenProcessesKeepingAtOnceLoseNoFingerprintAndFollowNoPlantedLink)
{
    TempDir dir("trust-store");
    const std::string store = dir.Path() + "/Quenlo/trusted-servers";
    // A link at the name an earlier version wrote its new file to, aimed at a file of the user's.
    const std::string victim = dir.Path() + "/victim";
    WriteFile(victim, "mine\n");
    ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
    WriteFile(store, "");
    ASSERT_EQ(::symlink(victim.c_str(), (store + ".new").c_str()), 0);

    constexpr int kRuns = 16;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kRuns; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // All start together once the gate opens (the parent closes its end).
            ::close(gate[1]);
            char byte;
            while (::read(gate[0], &byte, 1) > 0) {
            }
            const bool kept =
                TTrustStore(store).Keep("10.77.0." + std::to_string(i) + ":631", "AB:" + std::to_string(i));
            ::_exit(kept ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a run could not keep its fingerprint";
    }

    const TTrustStore kept(store);
    EXPECT_EQ(kept.List().size(), static_cast<std::size_t>(kRuns));
    for (int i = 0; i < kRuns; ++i)
        EXPECT_EQ(kept.Find("10.77.0." + std::to_string(i) + ":631"), "AB:" + std::to_string(i));
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(platform::FileBytes(victim), "mine\n");
    ASSERT_EQ(::stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace quenlo::test
