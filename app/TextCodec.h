// Byte strings of the core shown as Qt text, decoded by the core's one rule (monitor/DisplayText.h).
#pragma once

#include <QString>
#include <string>

namespace quenlo::app {

// UTF-8 where the bytes are well-formed UTF-8, code page 1250 elsewhere (DisplayText). Never fails.
QString DecodeForDisplay(const std::string& bytes);

// A text from a server or a file as the window's labels, printer list and job list show it, its
// bidirectional controls shown instead of acting and the whole isolated (IsolatedDisplayText).
QString IsolatedForDisplay(const std::string& bytes);

// A message box text: decoded as above, with the core's single-CR line breaks (and CR LF pairs)
// turned into line breaks.
QString MessageTextForDisplay(const std::string& bytes);

}  // namespace quenlo::app
