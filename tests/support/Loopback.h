// Small helpers shared by the test fixtures that start real servers on 127.0.0.1.
#pragma once

#include <string>

namespace quenlo::test {

// A port on 127.0.0.1 that was free a moment ago, for servers that cannot listen on port 0 and
// tell us which one they got; 0 when none could be had.
int FreeLoopbackPort();

// Whether something accepts a TCP connection on 127.0.0.1:port right now.
bool LoopbackAccepts(int port);

// The whole file as bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace quenlo::test
