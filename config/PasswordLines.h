// The password lines of a printers file, found in its own bytes so that they can be taken out and
// every other byte (encoding, byte order mark, line ends, comments) left as it is.
//
// The lines are read as the reader reads them: a "pass" line belongs to the entry being read (the
// one an unfinished "<printer>" opened, else the last one ended), a "proxypass" line to the proxy;
// where several lines set one password the last one holds.
#pragma once

#include "config/PrintersFile.h"

#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

struct PasswordLine {
    std::size_t begin = 0;  // the line's bytes in the file, its line end included
    std::size_t end = 0;
    bool proxy = false;     // "proxypass": the server is proxy:proxyport, the user proxyuser
    std::string value;      // as the reader reads it (UTF-16 as UTF-8)
    std::string server;     // remotehost of the entry, or proxy:proxyport
    std::string user;
    bool gateway = false;   // the entry starts a gateway, which reads the file itself
    bool holds = false;     // the last line setting this password: the value the program uses
};

// Every "pass" and "proxypass" line of `bytes` with a value; lines outside any entry, which the
// reader ignores, are not listed.
std::vector<PasswordLine> PasswordLinesOf(std::string_view bytes);

// `bytes` without the lines of `drop`.
std::string WithoutLines(std::string_view bytes, const std::vector<PasswordLine>& drop);

}  // namespace quenlo
