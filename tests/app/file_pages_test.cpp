// Giving back file pages in the tray: read-only file pages leave the process and read back the
// same; pages that hold the process's own bytes (written private pages, also where the mapping
// was made read-only afterwards, as the loader does with a library's relocated data) stay.
#include "app/FilePages.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr std::size_t kPages = 16;

// Resident KiB of the mapping that starts at `start`, from /proc/self/smaps; -1 when not found.
long ResidentKiB(const void* start)
{
    std::ifstream smaps("/proc/self/smaps");
    const auto wanted = reinterpret_cast<std::uintptr_t>(start);
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2 && line.find(':') > line.find(' ')) {
            inside = from == wanted;
            continue;
        }
        long kib = 0;
        if (inside && std::sscanf(line.c_str(), "Rss: %ld kB", &kib) == 1)
            return kib;
    }
    return -1;
}

class FilePages : public ::testing::Test {
protected:
    void SetUp() override
    {
        char path[] = "/tmp/quenlo-file-pages-XXXXXX";
        fd_ = mkstemp(path);
        ASSERT_GE(fd_, 0);
        unlink(path);
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        for (std::size_t i = 0; i < kPages * page_; ++i)
            bytes_.push_back(static_cast<char>('a' + i % 23));
        ASSERT_EQ(write(fd_, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    }
    void TearDown() override { close(fd_); }

    char* Map(int protection)
    {
        void* at = mmap(nullptr, bytes_.size(), protection, MAP_PRIVATE, fd_, 0);
        EXPECT_NE(at, MAP_FAILED);
        return static_cast<char*>(at);
    }
    static long Touch(const char* at, std::size_t size, std::size_t step)
    {
        long sum = 0;
        for (std::size_t i = 0; i < size; i += step)
            sum += *static_cast<const volatile char*>(at + i);
        return sum;
    }

    int fd_ = -1;
    std::size_t page_ = 0;
    std::string bytes_;
};

TEST_F(FilePages, ReadOnlyPagesGoAndReadBackTheSameWhileWrittenOnesStay)
{
    char* readOnly = Map(PROT_READ);
    Touch(readOnly, bytes_.size(), page_);
    ASSERT_EQ(ResidentKiB(readOnly), static_cast<long>(bytes_.size() / 1024));

    // Written, then made read-only: a page of its own under a read-only mapping.
    char* relocated = Map(PROT_READ | PROT_WRITE);
    std::memset(relocated, 'R', page_);
    ASSERT_EQ(mprotect(relocated, bytes_.size(), PROT_READ), 0);
    Touch(relocated, bytes_.size(), page_);
    // Written and still writable.
    char* data = Map(PROT_READ | PROT_WRITE);
    std::memset(data + page_, 'W', page_);

    EXPECT_GE(quenlo::app::GiveBackFilePages(), bytes_.size());

    EXPECT_EQ(ResidentKiB(readOnly), 0);
    EXPECT_EQ(std::string(readOnly, bytes_.size()), bytes_);
    EXPECT_EQ(std::string(relocated, page_), std::string(page_, 'R'));
    EXPECT_EQ(std::string(relocated + page_, bytes_.size() - page_), bytes_.substr(page_));
    EXPECT_EQ(std::string(data + page_, page_), std::string(page_, 'W'));
    EXPECT_EQ(std::string(data, page_), bytes_.substr(0, page_));

    for (char* at : {readOnly, relocated, data})
        munmap(at, bytes_.size());
}

}  // namespace
