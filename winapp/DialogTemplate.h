// Dialog boxes built in memory (DLGTEMPLATE and its items), for the small questions the window
// asks: a line of text, a password.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quenlo::winapp {

// The predefined control classes of a dialog item, by their atoms.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;

// The text's UTF-16 units and a terminating zero.
void AppendWords(std::vector<WORD>& out, const std::wstring& text);
// One item (x, y, cx, cy in dialog units), visible child, aligned as the template wants it.
void AppendItem(std::vector<WORD>& out, DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
                const std::wstring& text);
// The header of a modal, centred, always-on-top dialog of `items` items with the window's font.
void AppendDialogHeader(std::vector<WORD>& out, WORD items, short cx, short cy, const std::wstring& title,
                        WORD fontPoints);

// The text of an edit field (a dialog's item).
std::wstring ItemText(HWND dialog, int id);
// UTF-16 as the core's UTF-8 bytes.
std::string Utf8Of(const std::wstring& text);

}  // namespace quenlo::winapp
