// The question for a password the server wants (MonitorView::AskPassword), as a Qt dialog.
#pragma once

#include "monitor/MonitorView.h"

#include <optional>

class QWidget;

namespace quenlo::app {

// Modal over the whole program and above the always-on-top window, like the message boxes. The
// dialog is named "QuenloPasswordDialog", its field "password" and its check box "remember", for
// the tests that drive it.
std::optional<PasswordAnswer> AskPasswordDialog(const PasswordQuestion& question, QWidget* parent);

}  // namespace quenlo::app
