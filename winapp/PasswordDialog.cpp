#include "winapp/PasswordDialog.h"

#include "monitor/MonitorTexts.h"
#include "winapp/DialogTemplate.h"
#include "winapp/Form1.h"
#include "winapp/WideText.h"

namespace quenlo::winapp {

namespace {

constexpr WORD kPasswordLabelId = 202;

struct PasswordState {
    const PasswordQuestion* question;
    std::wstring password;
    bool remember = false;
};

std::wstring Words(const char* utf8) { return WideForDisplay(utf8); }

std::vector<WORD> PasswordTemplate(const PasswordQuestion& question) {
    const bool canRemember = question.noStore.empty();
    std::vector<WORD> out;
    AppendDialogHeader(out, 7, 240, canRemember ? 96 : 112, Words(texts::kPasswordTitle),
                       static_cast<WORD>(form::kFontPoints));
    AppendItem(out, SS_LEFT | SS_NOPREFIX, 7, 7, 226, 10, kPasswordServerId, kStaticAtom, L"");
    AppendItem(out, SS_LEFT | SS_NOPREFIX, 7, 19, 226, 10, kPasswordUserId, kStaticAtom, L"");
    AppendItem(out, SS_LEFT, 7, 35, 40, 10, kPasswordLabelId, kStaticAtom, Words(texts::kPasswordField));
    AppendItem(out, ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 50, 33, 183, 12, kPasswordFieldId,
               kEditAtom, L"");
    if (canRemember)
        AppendItem(out, BS_AUTOCHECKBOX | WS_TABSTOP, 7, 52, 226, 10, kPasswordRememberId, kButtonAtom,
                   Words(texts::kPasswordRemember));
    else
        AppendItem(out, SS_LEFT | SS_NOPREFIX, 7, 52, 226, 34, kPasswordNoStoreId, kStaticAtom, L"");
    const short buttons = canRemember ? 74 : 90;
    AppendItem(out, BS_DEFPUSHBUTTON | WS_TABSTOP, 129, buttons, 50, 14, IDOK, kButtonAtom, Words(texts::kPasswordOk));
    AppendItem(out, BS_PUSHBUTTON | WS_TABSTOP, 183, buttons, 50, 14, IDCANCEL, kButtonAtom,
               Words(texts::kPasswordCancel));
    return out;
}

INT_PTR CALLBACK PasswordProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<PasswordState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        const PasswordQuestion& question = *reinterpret_cast<PasswordState*>(lParam)->question;
        SetDlgItemTextW(dialog, kPasswordServerId, (Words(texts::kPasswordServer) + WideIsolated(question.server)).c_str());
        SetDlgItemTextW(dialog, kPasswordUserId, (Words(texts::kPasswordUser) + WideIsolated(question.user)).c_str());
        if (question.noStore.empty())
            CheckDlgButton(dialog, kPasswordRememberId, BST_CHECKED);
        else
            SetDlgItemTextW(dialog, kPasswordNoStoreId,
                            (Words(texts::kPasswordNotRemembered) + WideForDisplay(question.noStore)).c_str());
        SetFocus(GetDlgItem(dialog, kPasswordFieldId));
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && state) {
            state->password = ItemText(dialog, kPasswordFieldId);
            state->remember = state->question->noStore.empty() &&
                              IsDlgButtonChecked(dialog, kPasswordRememberId) == BST_CHECKED;
            SetDlgItemTextW(dialog, kPasswordFieldId, L"");
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            SetDlgItemTextW(dialog, kPasswordFieldId, L"");
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

std::optional<PasswordAnswer> AskPasswordDialog(const PasswordQuestion& question, HWND owner) {
    PasswordState state{&question, {}, false};
    const std::vector<WORD> dialog = PasswordTemplate(question);
    const INT_PTR answer = DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                                   reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), owner,
                                                   &PasswordProc, reinterpret_cast<LPARAM>(&state));
    std::optional<PasswordAnswer> typed;
    if (answer == IDOK)
        typed = PasswordAnswer{Utf8Of(state.password), state.remember};
    SecureZeroMemory(state.password.data(), state.password.size() * sizeof(wchar_t));
    return typed;
}

}  // namespace quenlo::winapp
