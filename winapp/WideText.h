// Byte strings of the core as the UTF-16 text of the Win32 calls.
//
// The core holds texts as bytes: the program's own Hungarian texts and what the printer server
// sends are UTF-8, printers files written on older desktops are in the Central European code page
// 1250. A text is shown as UTF-8 when its bytes are valid UTF-8; otherwise each well-formed UTF-8
// sequence is still read as UTF-8 and every other byte as code page 1250, so a program text joined
// with a code page 1250 value from the printers file reads right. The conversion is done here, by
// the system's own code page tables, and never depends on the code page Windows runs with.
#pragma once

#include <string>

namespace quenlo::winapp {

// The display text of `bytes` as described above. Never fails; bytes that code page 1250 leaves
// undefined come out as U+FFFD.
std::wstring WideForDisplay(const std::string& bytes);

// A message box text: decoded as above, with the core's single-CR line breaks (and CR LF pairs)
// turned into the CR LF pairs a message box breaks lines at.
std::wstring WideMessageText(const std::string& bytes);

}  // namespace quenlo::winapp
