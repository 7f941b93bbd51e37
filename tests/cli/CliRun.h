// Runs the built quenlo-cli through the shell, with the C locale, for the IPP command tests.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace quenlo::test {

struct CliOutcome {
    int exitCode = -1;
    std::string out;  // standard output, bytes as written
};

inline std::string ShellQuoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A shell command's standard output and exit code (-1 when it did not exit by itself).
inline CliOutcome RunShell(const std::string& command)
{
    CliOutcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return outcome;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        outcome.out.append(buffer, n);
    const int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// `arguments` are already shell words; `tail` may redirect ("< file", "2>&1").
inline CliOutcome RunCli(const std::string& arguments, const std::string& tail = "2>/dev/null")
{
    return RunShell("LC_ALL=C timeout 60 " + ShellQuoted(QUENLO_CLI) + " " + arguments + " " + tail);
}

}  // namespace quenlo::test
