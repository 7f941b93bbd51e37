#include "winapp/WideText.h"

#include "monitor/DisplayText.h"

namespace quenlo::winapp {

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring WideForDisplay(const std::string& bytes) { return Wide(DisplayText(bytes)); }

std::wstring WideIsolated(const std::string& bytes) { return Wide(IsolatedDisplayText(bytes)); }

std::wstring WideMessageText(const std::string& bytes) { return Wide(DisplayMessageText(bytes, u"\r\n")); }

}  // namespace quenlo::winapp
