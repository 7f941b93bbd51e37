// Byte strings of the core as the UTF-16 text of the Win32 calls, decoded by the core's one rule
// (monitor/DisplayText.h): UTF-8 where the bytes are well-formed UTF-8, code page 1250 elsewhere,
// whatever code page Windows runs with.
#pragma once

#include <string>

namespace quenlo::winapp {

// The display text of `bytes`. Never fails; bytes that code page 1250 leaves undefined come out as
// U+FFFD.
std::wstring WideForDisplay(const std::string& bytes);

// A text from a server or a file as the labels, the printer list and the job list show it: its
// bidirectional controls shown instead of acting and the whole isolated (IsolatedDisplayText), so a
// job named "invoice<U+202E>gnp.exe" cannot pass for a picture.
std::wstring WideIsolated(const std::string& bytes);

// A message box text: decoded as above, with the core's single-CR line breaks (and CR LF pairs)
// turned into the CR LF pairs a message box breaks lines at.
std::wstring WideMessageText(const std::string& bytes);

// The core's UTF-16 as the W calls' text (wchar_t is 16 bits on Windows).
std::wstring Wide(const std::u16string& text);

}  // namespace quenlo::winapp
