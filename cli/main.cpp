#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "config/Utf8.h"
#include "net/TlsTrust.h"
#include "platform/Process.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <stdexcept>

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
                    throw UsageError{"--" + name + texts::kNeedsAValue};
                values_[name] = argv[++i];
            } else if (flags.count(name)) {
                flags_.insert(name);
            } else {
                throw UsageError{texts::kUnknownOption + a};
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
        throw UsageError{"--" + name + texts::kTakesANumber};
    return std::stoll(*v);
}

std::string ReadAllStdin()
{
    // A failed reopen has closed standard input: that is a failure, not an empty body.
    if (std::freopen(nullptr, "rb", stdin) == nullptr)
        throw std::runtime_error(texts::kCannotReadStdin);
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

void WarnPasswordWentPlain(const std::string& whose)
{
    std::cerr << texts::kProgram << texts::kWarning
              << (whose.empty() ? texts::kThePassword : texts::kThePasswordOf + EscapedField(whose))
              << texts::kPasswordWentPlainWhy << "\n";
}

std::string EscapedField(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    AppendEscapedField(out, text);
    return out;
}

namespace {

// The bytes of a UTF-8 C1 control (U+0080 to U+009F) or bidirectional control (the embeddings and
// overrides U+202A to U+202E, the isolates U+2066 to U+2069) at `at`: a terminal acts on the first
// and reorders the line after the second, so neither may reach it from a server's text.
std::size_t ControlSequenceAt(const char* at, const char* end, char32_t& code)
{
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(at[i]); };
    const std::size_t left = static_cast<std::size_t>(end - at);
    if (left >= 2 && b(0) == 0xC2 && b(1) >= 0x80 && b(1) <= 0x9F) {
        code = b(1);
        return 2;
    }
    if (left >= 3 && b(0) == 0xE2 && ((b(1) == 0x80 && b(2) >= 0xAA && b(2) <= 0xAE) ||
                                      (b(1) == 0x81 && b(2) >= 0xA6 && b(2) <= 0xA9))) {
        code = char32_t(0x2000 | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F));
        return 3;
    }
    return 0;
}

// Whether the eight bytes at `at` are all printable ASCII other than the backslash, looked at in
// one step: no byte at or above 0x80, none below 0x20, none equal to 0x7F or '\\'.
bool EightPlainBytes(const char* at)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = kOnes * 0x80;
    const auto holdsZeroByte = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighBits) != 0; };
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    const bool belowSpace = ((word - kOnes * 0x20) & ~word & kHighBits) != 0;
    return (word & kHighBits) == 0 && !belowSpace && !holdsZeroByte(word ^ (kOnes * 0x7F)) &&
           !holdsZeroByte(word ^ (kOnes * '\\'));
}

}  // namespace

void AppendEscapedField(std::string& line, const std::string& text)
{
    static const char kHex[] = "0123456789abcdef";
    // The stretches between the escaped bytes go in whole.
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* at = run; at != end;) {
        while (end - at >= 8 && EightPlainBytes(at))
            at += 8;
        if (at == end)
            break;
        const auto c = static_cast<unsigned char>(*at);
        // Printable ASCII is nearly all of a job list: it passes without looking further.
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            ++at;
            continue;
        }
        std::string escape;
        std::size_t length = 1;
        char32_t code = 0;
        switch (c) {
        case '\\': escape = "\\\\"; break;
        case '\t': escape = "\\t"; break;
        case '\r': escape = "\\r"; break;
        case '\n': escape = "\\n"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                escape = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
            } else if ((length = ControlSequenceAt(at, end, code)) != 0) {
                escape = "\\u";
                for (int shift = 12; shift >= 0; shift -= 4)
                    escape += kHex[(code >> shift) & 0x0F];
            } else if (const std::optional<Utf8Sequence> sequence =
                           Utf8SequenceAt(text, static_cast<std::size_t>(at - text.data()))) {
                at += sequence->length;
                continue;
            } else {
                // A lone 0x9B is CSI to a terminal that reads 8-bit controls, so it and every other
                // byte outside UTF-8 goes as a number.
                escape = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
                length = 1;
            }
        }
        line.append(run, at).append(escape);
        at += length;
        run = at;
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
    std::cerr << "usage: quenlo-cli COMMAND [ARGS]\n       quenlo-cli COMMAND --help\n"
                 "       quenlo-cli --help | --version\ncommands:\n";
    for (const auto& [name, c] : quenlo::cli::Commands())
        std::cerr << "  quenlo-cli " << name << " " << c.usage << "\n";
}

bool Print(const std::string& text)
{
    std::cout << text;
    std::cout.flush();
    return static_cast<bool>(std::cout);
}

bool AsksForHelp(const std::vector<std::string>& args)
{
    return !args.empty() && (args.front() == "-h" || std::find(args.begin(), args.end(), "--help") != args.end());
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace quenlo::cli;
    if (argc < 2) {
        PrintUsage();
        return 2;
    }
    const std::string first = argv[1];
    if (argc == 2 && (first == "--help" || first == "-h"))
        return Print(quenlo::platform::HelpText(CliManual())) ? 0 : 1;
    if (argc == 2 && first == "--version")
        return Print(quenlo::platform::VersionLine("quenlo-cli")) ? 0 : 1;
    if (argc == 2 && first == "--man")
        return Print(quenlo::platform::RoffPage(CliManual())) ? 0 : 1;
    auto it = Commands().find(first);
    if (it == Commands().end()) {
        std::cerr << texts::kProgram << texts::kUnknownCommand << first << "\n";
        PrintUsage();
        return 2;
    }
    std::vector<std::string> args = quenlo::platform::ProgramArguments(argc, argv, 2);
    // Every command reaches servers through the same client: the option holds for all of them.
    if (const auto strict = std::find(args.begin(), args.end(), "--strict"); strict != args.end()) {
        args.erase(strict);
        quenlo::SetStrictTrustByDefault(true);
    }
    if (AsksForHelp(args))
        return Print(CommandHelp(it->second)) ? 0 : 1;
    try {
        return it->second.run(args);
    } catch (const UsageError& e) {
        std::cerr << texts::kProgram << e.detail << "\n"
                  << "usage: quenlo-cli " << it->first << " " << it->second.usage << "\n"
                  << "       quenlo-cli " << it->first << " --help\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << texts::kProgram << e.what() << "\n";
        return 1;
    }
}
