// Byte strings of the core shown as Qt text, decoded by the core's one rule (monitor/DisplayText.h).
#pragma once

#include <QString>
#include <string>

namespace quenlo::app {

// UTF-8 where the bytes are well-formed UTF-8, code page 1250 elsewhere (DisplayText). Never fails.
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
