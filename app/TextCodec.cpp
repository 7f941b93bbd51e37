#include "app/TextCodec.h"
#include "monitor/DisplayText.h"

namespace quenlo::app {

QString DecodeForDisplay(const std::string& bytes) { return QString::fromStdU16String(DisplayText(bytes)); }

QString IsolatedForDisplay(const std::string& bytes) {
    return QString::fromStdU16String(IsolatedDisplayText(bytes));
}

QString MessageTextForDisplay(const std::string& bytes) {
    return QString::fromStdU16String(DisplayMessageText(bytes, u"\n"));
}

}  // namespace quenlo::app
