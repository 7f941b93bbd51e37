#include "net/TlsTrust.h"

#include "platform/Path.h"
#include "platform/Settings.h"
#include "platform/Text.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quenlo {

namespace {
std::atomic<bool> strictByDefault{false};
}

void SetStrictTrustByDefault(bool strict) noexcept { strictByDefault = strict; }
bool StrictTrustByDefault() noexcept { return strictByDefault; }

std::string DefaultTrustStorePath()
{
    const std::string home = platform::UserConfigHome();
    if (home.empty())
        return {};
    constexpr char sep = platform::kDirSeparator;
    return home + sep + "Dorvane" + sep + "Quenlo" + sep + "trusted-servers";
}

std::string TrustKey(const std::string& host, const std::string& port)
{
    std::string h = platform::AsciiLower(host);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    if (h.find(':') != std::string::npos)
        h = "[" + h + "]";
    return h + ":" + port;
}

std::vector<std::pair<std::string, std::string>> TTrustStore::List() const
{
    std::vector<std::pair<std::string, std::string>> entries;
    std::ifstream in(platform::FileSystemPath(path_), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string key, fingerprint;
        if (words >> key >> fingerprint && key[0] != '#')
            entries.emplace_back(key, fingerprint);
    }
    return entries;
}

std::optional<std::string> TTrustStore::Find(const std::string& key) const
{
    for (const auto& [k, fingerprint] : List())
        if (k == key)
            return fingerprint;
    return std::nullopt;
}

bool TTrustStore::Keep(const std::string& key, const std::string& fingerprint) const
{
    auto entries = List();
    bool replaced = false;
    for (auto& entry : entries)
        if (entry.first == key) {
            entry.second = fingerprint;
            replaced = true;
        }
    if (!replaced)
        entries.emplace_back(key, fingerprint);
    return Write(entries);
}

bool TTrustStore::Forget(const std::string& key) const
{
    auto entries = List();
    const auto before = entries.size();
    std::erase_if(entries, [&](const auto& entry) { return entry.first == key; });
    return entries.size() != before && Write(entries);
}

// Written beside the old file and renamed over it, so a reader never sees half a file and a
// failed write keeps every fingerprint that was there.
bool TTrustStore::Write(const std::vector<std::pair<std::string, std::string>>& entries) const
{
    namespace fs = std::filesystem;
    if (path_.empty())
        return false;
    std::error_code error;
    const fs::path file = platform::FileSystemPath(path_);
    if (file.has_parent_path())
        fs::create_directories(file.parent_path(), error);
    fs::path temporary = file;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                        error);
        out << "# Servers whose TLS certificate is trusted: HOST:PORT SHA-256\n";
        for (const auto& [key, fingerprint] : entries)
            out << key << ' ' << fingerprint << '\n';
        out.close();
        if (!out)
            return false;
    }
    fs::rename(temporary, file, error);
    return !error;
}

}  // namespace quenlo
