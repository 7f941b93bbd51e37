// A program's manual, written once and shown two ways: as the text of --help and as the roff
// source of its manual page (made at build time by running the program with --man), so the two
// cannot say different things.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quenlo::platform {

// The programs' version, as the build gives it ("0.1").
const char* ProgramVersion();

struct ManualPage {
    struct Item {
        std::string term;  // "--config FILE", "add HOST[:PORT][/PATH] ..."
        std::string text;  // what it does; may be empty
    };
    struct Section {
        // Written {title, text, items} or with an example as well.
        Section(std::string title_, std::string text_ = {}, std::vector<Item> items_ = {}, std::string example_ = {})
            : title(std::move(title_)), text(std::move(text_)), items(std::move(items_)), example(std::move(example_))
        {
        }
        std::string title;        // "COMMANDS", "FILES", "EXIT STATUS", ...
        std::string text;         // paragraphs, separated by an empty line; before the items
        std::vector<Item> items;
        std::string example;      // lines shown as they stand, after the items (a file, a session)
    };

    std::string program;                // "quenlo-cli", or a file's name ("printers.qdl")
    int section = 1;                    // 1: a program; 5: a file's format
    std::string summary;                // the one line after the name in NAME
    std::vector<std::string> synopsis;  // each a form of the command line, after the program name;
                                        // none for a file's page
    std::string description;            // paragraphs, separated by an empty line
    std::vector<Section> sections;      // after DESCRIPTION, in this order
};

// The --help text: "usage:" with the synopsis, the description and the sections, wrapped at 79
// columns, items indented below their terms.
std::string HelpText(const ManualPage& page);

// The manual page in roff (man(7) macros), in the page's section. Every text is escaped, so a line
// of it can never start a request by accident.
std::string RoffPage(const ManualPage& page);

// The same page as Markdown, for the user guide in docs/: a heading per section, an item as a
// list entry with its term in code. Every text is escaped, so a "<global>" stays visible.
std::string MarkdownPage(const ManualPage& page);

// "PROGRAM VERSION\n", for --version.
std::string VersionLine(const std::string& program);

}  // namespace quenlo::platform
