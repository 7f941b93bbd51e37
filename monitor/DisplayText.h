// The core's byte strings as the UTF-16 text a window shows, the same on every system.
//
// The core holds texts as bytes: the program's own Hungarian texts and what the printer server
// sends are UTF-8, printers files written on older desktops are in the Central European code page
// 1250. Each well-formed UTF-8 sequence is read as UTF-8 and every other byte as code page 1250, so
// a text that is UTF-8 throughout reads as UTF-8, one from an older file as code page 1250, and a
// program text joined with a code page 1250 value from the printers file reads right as well.
// Decoding never fails and never depends on the system's own code page.
#pragma once

#include <cstddef>
#include <string_view>
#include <string>

namespace quenlo {

// The display text of `bytes` as described above; bytes that code page 1250 leaves undefined come
// out as U+FFFD.
std::u16string DisplayText(std::string_view bytes);

// A text from a server or a file as a window's labels, printer list and job list show it: decoded
// as above, every bidirectional embedding, override and isolate (U+202A to U+202E, U+2066 to
// U+2069) shown as "<U+202E>" instead of acting, and the whole isolated (U+2068 ... U+2069) from
// the text around it. A text with no right-to-left character and no such control is left as
// DisplayText gives it. So "invoice<U+202E>gnp.exe" cannot pass for a picture, and a right-to-left
// name cannot reorder the columns or words beside it.
std::u16string IsolatedDisplayText(std::string_view bytes);

// A message box text: decoded as above, with the core's single-CR line breaks (and CR LF pairs, and
// lone LFs) turned into `lineBreak`.
std::u16string DisplayMessageText(std::string_view bytes, std::u16string_view lineBreak);

// At most `limit` UTF-16 units of `text`: whole when it fits, else the lines that fit whole (a
// first line that does not fit is cut as by FittedText).
std::u16string FittedLines(std::u16string_view text, std::size_t limit);

// At most `limit` UTF-16 units of `text`: whole when it fits, else cut at a whole character with
// an ellipsis at its end.
std::u16string FittedText(std::u16string_view text, std::size_t limit);

}  // namespace quenlo
