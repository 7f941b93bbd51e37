// The parts of changing a file that are the same on every system; the lock and the replacement
// are in platform/posix/ and platform/win/.
#include "platform/FileUpdate.h"

#include "platform/Path.h"

#include <fstream>
#include <iterator>

namespace quenlo::platform {

std::string FileBytes(const std::string& path)
{
    std::ifstream in(FileSystemPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quenlo::platform
