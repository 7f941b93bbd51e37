// A test's own files and environment, put back as they were when the test ends:
//
// - TempDir: a folder /tmp/quenlo-NAME-XXXXXX, removed with everything in it.
// - ScopedEnv: environment variables set or unset, restored in reverse order.
// - ScopedCwd: the current directory changed, restored.
// - PrivateHome: a user of the test's own: HOME is DIR/home, no XDG_CONFIG_HOME, and DIR/work the
//   current directory.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace quenlo::test {

// Writes `text` to `path` as it is (making its folders).
inline void WriteFile(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A new folder /tmp/quenlo-<name>-XXXXXX that only we may enter; empty when none could be made.
inline std::string MakePrivateFolder(const std::string& name)
{
    std::string pattern = "/tmp/quenlo-" + name + "-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

class TempDir {
public:
    // Throws std::runtime_error when the folder cannot be made. `mode` other than 0: the folder's
    // permissions (0777 where a server that drops to another user writes its log into it).
    explicit TempDir(const std::string& name, mode_t mode = 0)
    {
        path_ = MakePrivateFolder(name);
        if (path_.empty())
            throw std::runtime_error("cannot make a folder /tmp/quenlo-" + name + "-XXXXXX");
        if (mode != 0)
            ::chmod(path_.c_str(), mode);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
    // Makes a folder below this one (with its parents) and returns its path.
    std::string Folder(const std::string& relative) const
    {
        std::filesystem::create_directories(*this / relative);
        return *this / relative;
    }
    // Writes `text` to a file below the folder (making its folders) and returns its path.
    std::string Write(const std::string& relative, const std::string& text) const
    {
        WriteFile(*this / relative, text);
        return *this / relative;
    }

private:
    std::string path_;
};

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const std::string& name, const std::optional<std::string>& value) { Set(name, value); }
    ~ScopedEnv()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    // `value` empty (std::nullopt): the variable is unset.
    void Set(const std::string& name, const std::optional<std::string>& value)
    {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~ScopedCwd()
    {
        std::error_code ignored;
        std::filesystem::current_path(old_, ignored);
    }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::filesystem::path old_;
};

struct PrivateHome {
    explicit PrivateHome(const std::string& name)
        : dir(name), env("HOME", dir.Folder("home")), cwd(dir.Folder("work"))
    {
        env.Set("XDG_CONFIG_HOME", std::nullopt);
    }
    const std::string& Root() const { return dir.Path(); }

    TempDir dir;
    ScopedEnv env;
    ScopedCwd cwd;
};

}  // namespace quenlo::test
