// A program's manual, written once and shown two ways: as the text of --help and as the roff
// source of its manual page (made at build time by running the program with --man), so the two
// cannot say different things.
#pragma once

#include <string>
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
        std::string title;        // "COMMANDS", "FILES", "EXIT STATUS", ...
        std::string text;         // paragraphs, separated by an empty line; before the items
        std::vector<Item> items;
    };

    std::string program;                // "quenlo-cli"
    std::string summary;                // the one line after the name in NAME
    std::vector<std::string> synopsis;  // each a form of the command line, after the program name
    std::string description;            // paragraphs, separated by an empty line
    std::vector<Section> sections;      // after DESCRIPTION, in this order
};

// The --help text: "usage:" with the synopsis, the description and the sections, wrapped at 79
// columns, items indented below their terms.
std::string HelpText(const ManualPage& page);

// The manual page in roff (man(7) macros), section 1. Every text is escaped, so a line of it can
// never start a request by accident.
std::string RoffPage(const ManualPage& page);

// "PROGRAM VERSION\n", for --version.
std::string VersionLine(const std::string& program);

}  // namespace quenlo::platform
