// Replacing a file keeps what its owner set on it: a file others may read stays readable to them,
// a link stays a link, and only a file holding a password becomes the owner's alone.
#include "platform/FileUpdate.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace quenlo::test {
namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PosixFileUpdate, TheNewFileHasTheOldOnesPermissionsThroughALink)
{
    const TempDir temp("replace");
    const std::string target = temp / "printers.qdl";
    const std::string link = temp / "link.qdl";
    WriteFile(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    fs::create_symlink(target, link);

    EXPECT_EQ(platform::ReplaceFileBytes(link, "new", false), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(platform::FileBytes(target), "new");
    EXPECT_EQ(ModeOf(target), 0644u) << "others could read it before";

    EXPECT_EQ(platform::ReplaceFileBytes(link, "secret", true), std::nullopt);
    EXPECT_EQ(ModeOf(target), 0600u);
    EXPECT_EQ(platform::FileBytes(link), "secret");
}

}  // namespace
}  // namespace quenlo::test
