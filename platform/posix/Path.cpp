// Paths on Linux are the bytes the program holds (the Windows form is in platform/win/).
#include "platform/Path.h"

#include <sys/stat.h>

namespace quenlo::platform {

std::filesystem::path FileSystemPath(const std::string& path) { return std::filesystem::path(path); }

bool IsRegularFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace quenlo::platform
