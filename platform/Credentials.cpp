#include "platform/Credentials.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace quenlo::platform {

std::string CredentialServer(const std::string& hostPort, const std::string& defaultPort)
{
    const std::size_t close = hostPort.starts_with('[') ? hostPort.find(']') : std::string::npos;
    const std::size_t colon = hostPort.find(':', close == std::string::npos ? 0 : close);
    std::string host = hostPort.substr(0, colon);
    std::string port = colon == std::string::npos ? std::string() : hostPort.substr(colon + 1);
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host + ":" + (port.empty() ? defaultPort : port);
}

std::string CredentialLabel(const std::string& server, const std::string& user)
{
    return "Quenlo: " + user + "@" + server;
}

namespace {

// Reads up to the line end, dropping a CR before it.
std::optional<std::string> ReadLineOf(std::FILE* in)
{
    std::string line;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line += static_cast<char>(c);
    }
    if (!any)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace

std::optional<std::string> ReadPasswordLine(const std::string& prompt)
{
    if (!StdinIsTerminal())
        return ReadLineOf(stdin);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    const bool hidden = SetTerminalEcho(false);
    std::optional<std::string> line = ReadLineOf(stdin);
    if (hidden)
        SetTerminalEcho(true);
    std::fputs("\n", stderr);  // the Enter that was typed was not echoed either
    return line;
}

void ClearSecret(std::string& secret) noexcept
{
    // Through a volatile pointer, so the stores are not dropped as dead before the free.
    volatile char* bytes = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i)
        bytes[i] = '\0';
    secret.clear();
}

}  // namespace quenlo::platform
