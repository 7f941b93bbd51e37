// Writes the printers file's manual for the build: --man the roff page printers.qdl(5),
// --markdown the user guide's page. Not installed.
#include "config/PrintersFileManual.h"

#include <iostream>
#include <string_view>

int main(int argc, char** argv)
{
    const std::string_view form = argc == 2 ? argv[1] : "";
    if (form != "--man" && form != "--markdown") {
        std::cerr << "usage: printers-file-page --man | --markdown\n";
        return 2;
    }
    const auto page = quenlo::PrintersFileManual();
    std::cout << (form == "--man" ? quenlo::platform::RoffPage(page) : quenlo::platform::MarkdownPage(page));
    return std::cout.flush() ? 0 : 1;
}
