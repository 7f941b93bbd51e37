#include "config/SetupHint.h"
#include "config/PrintersFileWriter.h"
#include "platform/Settings.h"

#include <filesystem>

namespace quenlo {

namespace {

const std::string kCliName = std::string("quenlo-cli") + platform::kProgramSuffix;

std::string CurrentFolder()
{
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return error ? std::string(".") : here.string();
}

}  // namespace

std::vector<std::string> PrintersFileFolders(const PrintersFileSearch& search)
{
    constexpr char sep = platform::kDirSeparator;
    std::vector<std::string> folders;
    if (search.confDir && !search.confDir->empty())
        folders.push_back(*search.confDir);
    if (!search.appData.empty())
        folders.push_back(search.appData + sep + "Dorvane" + sep + "Quenlo" + sep);
    if (!search.userProfile.empty())
        folders.push_back(search.userProfile + sep);
    folders.push_back(CurrentFolder() + sep);
    return folders;
}

std::string SetupHintText(const PrintersFileSearch& search, const std::string& fileWithoutPrinters)
{
    std::string text;
    if (fileWithoutPrinters.empty()) {
        text = "Nem található a nyomtatók listája (printers.qdl). A Quenlo ezekben a mappákban kereste:\r";
        for (const std::string& folder : PrintersFileFolders(search))
            text += "    " + folder + "\r";
    } else {
        text = "A nyomtatók listája (" + fileWithoutPrinters + ") egyetlen nyomtatót sem sorol fel.\r";
    }
    text += std::string("\rEgy CUPS-kiszolgáló nyomtatóit ez a parancs veszi fel:\r    ") + kCliName +
            " add KISZOLGÁLÓ[:PORT]\r(például: " + kCliName + " add nyomtato.example.com)";
    const std::string userFile = UserPrintersFilePath(search);
    if (fileWithoutPrinters.empty() && !userFile.empty())
        text += "\rA listát ide írja: " + userFile;
    return text + "\r\rEzután indítsa újra a Quenlót.";
}

}  // namespace quenlo
