#include "net/TlsTrust.h"

#include "platform/FileUpdate.h"
#include "platform/Path.h"
#include "platform/Settings.h"
#include "platform/Text.h"

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace quenlo {

namespace {
std::atomic<bool> strictByDefault{false};

std::mutex certificatesLock;
std::map<std::string, TServerCertificate>& Certificates()
{
    static std::map<std::string, TServerCertificate> certificates;
    return certificates;
}
}  // namespace

void RememberServerCertificate(const std::string& key, const TServerCertificate& certificate)
{
    const std::lock_guard lock(certificatesLock);
    Certificates()[key] = certificate;
}

std::optional<TServerCertificate> LastServerCertificate(const std::string& key)
{
    const std::lock_guard lock(certificatesLock);
    const auto found = Certificates().find(key);
    return found == Certificates().end() ? std::nullopt : std::optional(found->second);
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

// Both hold the lock from the read to the rename: two runs that keep a fingerprint each at the
// same time must not each write the file as it was before the other's.
bool TTrustStore::Keep(const std::string& key, const std::string& fingerprint) const
{
    if (path_.empty())
        return false;
    const platform::FileLock lock(path_);
    if (!lock.Held())
        return false;
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
    if (path_.empty())
        return false;
    const platform::FileLock lock(path_);
    if (!lock.Held())
        return false;
    auto entries = List();
    const auto before = entries.size();
    std::erase_if(entries, [&](const auto& entry) { return entry.first == key; });
    return entries.size() != before && Write(entries);
}

bool TTrustStore::Write(const std::vector<std::pair<std::string, std::string>>& entries) const
{
    std::string text = "# Servers whose TLS certificate is trusted: HOST:PORT SHA-256\n";
    for (const auto& [key, fingerprint] : entries)
        text += key + ' ' + fingerprint + '\n';
    return !platform::ReplaceFileBytes(path_, text, true);
}

}  // namespace quenlo
