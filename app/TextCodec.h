// Byte strings of the core shown as Qt text.
//
// The core holds texts as bytes: the program's own Hungarian texts and what CUPS sends are UTF-8,
// printers files written on older desktops are in the Central European code page 1250. A text is
// shown as UTF-8 when its bytes are valid UTF-8, otherwise as code page 1250 (see DecodeForDisplay
// for texts that mix both).
#pragma once

#include <QString>
#include <string>

namespace quenlo::app {

// UTF-8 when `bytes` is valid UTF-8. Otherwise each well-formed UTF-8 sequence is still read as
// UTF-8 and every other byte as code page 1250 (bytes it leaves undefined become U+FFFD), so a
// program text joined with a code page 1250 value from the printers file reads right. Never fails.
QString DecodeForDisplay(const std::string& bytes);

// A message box text: decoded as above, with the core's single-CR line breaks (and CR LF pairs)
// turned into line breaks.
QString MessageTextForDisplay(const std::string& bytes);

}  // namespace quenlo::app
