// What a user is told when the window starts without printers: where the printers file was looked
// for and how to make one. Shown only when the window is started from the menu (its --from-menu
// option); otherwise it ends silently, as a session's autostart must.
#pragma once

#include "config/PrintersFile.h"

#include <string>
#include <vector>

namespace quenlo {

// The folders LocatePrintersFile looks in, in its order, as a user reads them: the ConfDir setting
// when it names one, the per-user folder, the home folder and the current folder (absolute).
std::vector<std::string> PrintersFileFolders(const PrintersFileSearch& search);

// The Hungarian message, UTF-8 with single CR line breaks: with `fileWithoutPrinters` empty, that no
// printers file was found (naming the folders and the per-user file `quenlo-cli add` creates);
// otherwise that the file lists no printer. Both give the `quenlo-cli add` command.
std::string SetupHintText(const PrintersFileSearch& search, const std::string& fileWithoutPrinters);

}  // namespace quenlo
