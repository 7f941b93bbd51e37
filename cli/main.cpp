#include "cli/Command.h"
#include "platform/Process.h"

#include <cstdio>
#include <iostream>
#include <iterator>

namespace quenlo::cli {

std::map<std::string, Command>& Commands()
{
    static std::map<std::string, Command> commands;
    return commands;
}

Args::Args(const std::vector<std::string>& argv, const std::set<std::string>& valued,
           const std::set<std::string>& flags)
{
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            const std::string name = a.substr(2);
            if (valued.count(name)) {
                if (i + 1 >= argv.size())
                    throw UsageError{"--" + name + " needs a value"};
                values_[name] = argv[++i];
            } else if (flags.count(name)) {
                flags_.insert(name);
            } else {
                throw UsageError{"unknown option " + a};
            }
        } else {
            positional_.push_back(a);
        }
    }
}

std::optional<std::string> Args::value(const std::string& name) const
{
    auto it = values_.find(name);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::string Args::valueOr(const std::string& name, const std::string& fallback) const
{
    return value(name).value_or(fallback);
}

std::optional<long long> Args::number(const std::string& name) const
{
    auto v = value(name);
    if (!v)
        return std::nullopt;
    if (v->empty() || v->size() > 18 || v->find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{"--" + name + " takes a non-negative number"};
    return std::stoll(*v);
}

std::string ReadAllStdin()
{
    std::freopen(nullptr, "rb", stdin);
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

std::string EscapedField(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    AppendEscapedField(out, text);
    return out;
}

void AppendEscapedField(std::string& line, const std::string& text)
{
    // The stretches between the escaped bytes go in whole.
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* at = run; at != end; ++at) {
        const char* escape = nullptr;
        switch (*at) {
        case '\\': escape = "\\\\"; break;
        case '\t': escape = "\\t"; break;
        case '\r': escape = "\\r"; break;
        case '\n': escape = "\\n"; break;
        default: continue;
        }
        line.append(run, at).append(escape, 2);
        run = at + 1;
    }
    line.append(run, end);
}

std::string DirectoryPrefix(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace quenlo::cli

namespace {

void PrintUsage()
{
    std::cerr << "usage: quenlo-cli COMMAND [ARGS]\ncommands:\n";
    for (const auto& [name, c] : quenlo::cli::Commands())
        std::cerr << "  quenlo-cli " << name << " " << c.usage << "\n";
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace quenlo::cli;
    if (argc < 2) {
        PrintUsage();
        return 2;
    }
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) {
        std::cerr << "quenlo-cli: unknown command " << argv[1] << "\n";
        PrintUsage();
        return 2;
    }
    std::vector<std::string> args = quenlo::platform::ProgramArguments(argc, argv, 2);
    try {
        return it->second.run(args);
    } catch (const UsageError& e) {
        std::cerr << "quenlo-cli: " << e.detail << "\n"
                  << "usage: quenlo-cli " << it->first << " " << it->second.usage << "\n";
        return 2;
    }
}
