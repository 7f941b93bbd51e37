#include "winapp/DialogTemplate.h"

#include <algorithm>

namespace quenlo::winapp {

void AppendWords(std::vector<WORD>& out, const std::wstring& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

void AppendItem(std::vector<WORD>& out, DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
                const std::wstring& text) {
    while (out.size() % 2 != 0)  // each item starts on a DWORD
        out.push_back(0);
    DLGITEMTEMPLATE item{};
    item.style = style | WS_CHILD | WS_VISIBLE;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    item.id = id;
    const auto* words = reinterpret_cast<const WORD*>(&item);
    out.insert(out.end(), words, words + sizeof(item) / sizeof(WORD));
    out.push_back(0xFFFF);
    out.push_back(atom);
    AppendWords(out, text);
    out.push_back(0);  // no creation data
}

void AppendDialogHeader(std::vector<WORD>& out, WORD items, short cx, short cy, const std::wstring& title,
                        WORD fontPoints) {
    DLGTEMPLATE dialog{};
    dialog.style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    dialog.dwExtendedStyle = WS_EX_TOPMOST;
    dialog.cdit = items;
    dialog.cx = cx;
    dialog.cy = cy;
    const auto* words = reinterpret_cast<const WORD*>(&dialog);
    out.insert(out.end(), words, words + sizeof(dialog) / sizeof(WORD));
    out.push_back(0);  // no menu
    out.push_back(0);  // the dialog class
    AppendWords(out, title);
    out.push_back(fontPoints);
    AppendWords(out, L"MS Sans Serif");
}

std::wstring ItemText(HWND dialog, int id) {
    HWND edit = GetDlgItem(dialog, id);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string Utf8Of(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace quenlo::winapp
