// The question for a password the server wants (MonitorView::AskPassword), as a Win32 dialog built
// in memory.
#pragma once

#include "monitor/MonitorView.h"

#include <windows.h>

#include <optional>

namespace quenlo::winapp {

// Item ids of the dialog, for the tests that drive it (the OK and Cancel buttons are IDOK and
// IDCANCEL).
constexpr WORD kPasswordServerId = 200;
constexpr WORD kPasswordUserId = 201;
constexpr WORD kPasswordFieldId = 203;
constexpr WORD kPasswordRememberId = 204;   // the check box, when the store can keep a password
constexpr WORD kPasswordNoStoreId = 205;    // the note, when it cannot

// Modal to `owner`, above the always-on-top window.
std::optional<PasswordAnswer> AskPasswordDialog(const PasswordQuestion& question, HWND owner);

}  // namespace quenlo::winapp
