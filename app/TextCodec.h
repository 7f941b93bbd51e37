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

// A text from a server or a file as the window's labels and job list show it: decoded as above,
// every bidirectional embedding, override and isolate (U+202A to U+202E, U+2066 to U+2069) shown
// as "<U+202E>" instead of acting, and the whole isolated (U+2068 ... U+2069) from the text around
// it. A text with no right-to-left letter and no such control is left as DecodeForDisplay gives it. So "invoice<U+202E>gnp.exe" cannot pass for a picture, and a right-to-left name cannot
// reorder the columns or words beside it.
QString IsolatedForDisplay(const std::string& bytes);

// A message box text: decoded as above, with the core's single-CR line breaks (and CR LF pairs)
// turned into line breaks.
QString MessageTextForDisplay(const std::string& bytes);

}  // namespace quenlo::app
