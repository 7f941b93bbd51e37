#include "app/FilePages.h"

#if defined(__linux__)
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>
#endif

namespace quenlo::app {

#if defined(__linux__)

namespace {

// One mapping of /proc/self/smaps: its range, whether it may be given back, and its resident and
// private (anonymous) sizes in KiB.
struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    bool readOnlyFile = false;
    unsigned long rssKiB = 0;
    unsigned long anonymousKiB = 0;
};

// A mapping's first line: "start-end perms offset dev inode [path]". A file mapping has a path
// that is not a kernel name such as [heap] or [vdso].
bool ReadMappingLine(const char* line, Mapping& mapping)
{
    unsigned long start = 0, end = 0;
    char perms[8] = {};
    int pathAt = 0;
    if (std::sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms, &pathAt) < 3)
        return false;
    mapping = Mapping{};
    mapping.start = start;
    mapping.end = end;
    const char* path = line + pathAt;
    // Devices are left alone: what their pages are is the driver's business.
    mapping.readOnlyFile = perms[1] != 'w' && path[0] == '/' && std::strncmp(path, "/dev/", 5) != 0;
    return true;
}

std::vector<Mapping> ReadOnlyFileMappings()
{
    std::vector<Mapping> found;
    std::FILE* smaps = std::fopen("/proc/self/smaps", "re");
    if (smaps == nullptr)
        return found;
    char line[4096];
    Mapping current;
    bool open = false;
    const auto close = [&] {
        if (open && current.readOnlyFile && current.anonymousKiB == 0 && current.rssKiB != 0)
            found.push_back(current);
    };
    while (std::fgets(line, sizeof line, smaps) != nullptr) {
        // A field line starts with its name and a colon ("Rss:   12 kB"), a mapping's first line
        // with its range.
        const char* space = std::strchr(line, ' ');
        const bool field = space != nullptr && space > line && space[-1] == ':';
        unsigned long kib = 0;
        Mapping next;
        if (!field) {
            if (ReadMappingLine(line, next)) {
                close();
                current = next;
                open = true;
            }
        } else if (std::sscanf(line, "Rss: %lu kB", &kib) == 1) {
            current.rssKiB = kib;
        } else if (std::sscanf(line, "Anonymous: %lu kB", &kib) == 1) {
            current.anonymousKiB = kib;
        }
    }
    close();
    std::fclose(smaps);
    return found;
}

}  // namespace

std::size_t GiveBackFilePages()
{
    std::size_t given = 0;
    // Not writable and without a private page, such a mapping holds nothing but the file's own
    // bytes: dropped, each page reads back the same from the file cache at its next use.
    for (const Mapping& mapping : ReadOnlyFileMappings()) {
        if (madvise(reinterpret_cast<void*>(mapping.start), mapping.end - mapping.start, MADV_DONTNEED) == 0)
            given += std::size_t{mapping.rssKiB} * 1024;
    }
    return given;
}

#else

std::size_t GiveBackFilePages() { return 0; }

#endif

}  // namespace quenlo::app
