#include "platform/Process.h"

namespace quenlo::platform {

// The documented form of a gateway's command: every piece in double quotes, single spaces between,
// nothing escaped.
std::string QuotedCommandLine(const std::vector<std::string>& argv)
{
    std::string line;
    for (const std::string& piece : argv) {
        if (!line.empty())
            line += ' ';
        line += '"' + piece + '"';
    }
    return line;
}

}  // namespace quenlo::platform
