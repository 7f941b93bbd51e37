#include "platform/Manual.h"

#include <sstream>
#include <string_view>

#ifndef QUENLO_VERSION
#define QUENLO_VERSION "0"
#endif

namespace quenlo::platform {

namespace {

constexpr std::size_t kWidth = 79;

std::vector<std::string> Paragraphs(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\n\n", start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

// The words of `text` filled into lines of at most kWidth columns, each starting with `indent`
// spaces. Columns count UTF-8 characters, not bytes.
std::string Wrapped(const std::string& text, std::size_t indent)
{
    const auto columns = [](const std::string& s) {
        std::size_t n = 0;
        for (char c : s)
            n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return n;
    };
    std::istringstream words(text);
    std::string out, line, word;
    while (words >> word) {
        if (!line.empty() && indent + columns(line) + 1 + columns(word) > kWidth) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        out += std::string(indent, ' ') + line + "\n";
    return out;
}

// A text as roff input: backslashes doubled, hyphens as minus signs (options are typed with the
// ASCII hyphen), and a line starting with "." or "'" kept from being read as a request.
std::string Roff(const std::string& text)
{
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

// Lines kept as they stand, each after `indent`.
std::string Verbatim(const std::string& lines, const std::string& indent)
{
    std::string out;
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos)
            end = lines.size();
        out += indent + lines.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace

const char* ProgramVersion()
{
    return QUENLO_VERSION;
}

std::string VersionLine(const std::string& program)
{
    return program + " " + ProgramVersion() + "\n";
}

std::string HelpText(const ManualPage& page)
{
    std::string out;
    // Appended piece by piece: a literal put in front of a temporary string (operator+ inserting
    // at 0) gives GCC 12's inliner an overlapping copy to warn about at -O3.
    for (std::size_t i = 0; i < page.synopsis.size(); ++i) {
        out += i == 0 ? "usage: " : "       ";
        out += page.program;
        out += ' ';
        out += page.synopsis[i];
        out += '\n';
    }
    for (const std::string& p : Paragraphs(page.description)) {
        out += '\n';
        out += Wrapped(p, 0);
    }
    for (const ManualPage::Section& s : page.sections) {
        std::string title = s.title;
        for (std::size_t i = 1; i < title.size(); ++i)
            if (title[i] >= 'A' && title[i] <= 'Z')
                title[i] = static_cast<char>(title[i] - 'A' + 'a');
        out += "\n" + title + ":\n";
        for (const std::string& p : Paragraphs(s.text))
            out += Wrapped(p, 2);
        for (const ManualPage::Item& item : s.items) {
            std::string text = Wrapped(item.text, 6);
            // A short term ("0", "2") goes in front of its text instead of on a line of its own.
            if (item.term.size() <= 3 && !text.empty())
                text.replace(0, item.term.size() + 2, "  " + item.term);
            else
                text.insert(0, "  " + item.term + "\n");
            out += text;
        }
        out += Verbatim(s.example, "    ");
    }
    return out;
}

std::string RoffPage(const ManualPage& page)
{
    // A file's page belongs to the package; a program's page to the program.
    const bool filePage = page.section != 1;
    const std::string source = (filePage ? std::string("quenlo") : page.program) + " " + ProgramVersion();
    std::string out = ".TH " + Upper(Roff(page.program)) + " " + std::to_string(page.section) + " \"\" \"" +
                      source + "\" \"" + (filePage ? "File Formats" : "User Commands") + "\"\n";
    out += ".SH NAME\n" + Roff(page.program) + " \\- " + Roff(page.summary) + "\n";
    if (!page.synopsis.empty())
        out += ".SH SYNOPSIS\n";
    for (const std::string& form : page.synopsis)
        out += ".B " + Roff(page.program) + "\n" + Roff(form) + "\n.br\n";
    out += ".SH DESCRIPTION\n";
    for (const std::string& p : Paragraphs(page.description))
        out += ".PP\n" + Roff(p) + "\n";
    for (const ManualPage::Section& s : page.sections) {
        out += ".SH " + Upper(Roff(s.title)) + "\n";
        for (const std::string& p : Paragraphs(s.text))
            out += ".PP\n" + Roff(p) + "\n";
        for (const ManualPage::Item& item : s.items)
            out += ".TP\n.B " + Roff(item.term) + "\n" + (item.text.empty() ? std::string("\\&") : Roff(item.text)) + "\n";
        if (!s.example.empty())
            out += ".PP\n.RS\n.nf\n" + Roff(s.example) + (s.example.ends_with('\n') ? "" : "\n") + ".fi\n.RE\n";
    }
    return out;
}

namespace {

// A text as Markdown: the characters that would start emphasis, code, a link, an HTML tag or a
// table cell are escaped; "#", "+" and "-" only where they would start a heading or a list.
std::string Markdown(const std::string& text)
{
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (std::string_view("\\`*_[]<>|").find(c) != std::string_view::npos ||
            (lineStart && std::string_view("#+-").find(c) != std::string_view::npos))
            out += '\\';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string MarkdownParagraphs(const std::string& text)
{
    std::string out;
    for (const std::string& p : Paragraphs(text))
        out += "\n" + Markdown(p) + "\n";
    return out;
}

}  // namespace

std::string MarkdownPage(const ManualPage& page)
{
    std::string out = "# " + Markdown(page.program) + "(" + std::to_string(page.section) + ")\n\n";
    out += Markdown(page.program) + " - " + Markdown(page.summary) + "\n";
    out += MarkdownParagraphs(page.description);
    for (const ManualPage::Section& s : page.sections) {
        out += "\n## " + Markdown(s.title) + "\n";
        out += MarkdownParagraphs(s.text);
        if (!s.items.empty())
            out += "\n";
        for (const ManualPage::Item& item : s.items)
            out += "- `" + item.term + "`" + (item.text.empty() ? "" : ": " + Markdown(item.text)) + "\n";
        if (!s.example.empty())
            out += "\n" + Verbatim(s.example, "    ");
    }
    return out;
}

}  // namespace quenlo::platform
