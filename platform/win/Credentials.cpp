// The credential store on Windows: generic credentials of the Credential Manager, one per server
// and user, named by their label ("Quenlo: USER@HOST:PORT"); the password is the blob, in UTF-8.
#include "platform/Credentials.h"

#include "platform/Path.h"

#include <windows.h>
#include <wincred.h>

namespace quenlo::platform {

namespace {

constexpr const wchar_t* kLabelFilter = L"Quenlo: *";

std::string NoStoreText(DWORD code)
{
    return "the Windows Credential Manager cannot be used (error " + std::to_string(code) + ")";
}

}  // namespace

StoreAnswer LookupPassword(const std::string& server, const std::string& user)
{
    StoreAnswer answer;
    PCREDENTIALW credential = nullptr;
    if (!::CredReadW(WideFromUtf8(CredentialLabel(server, user)).c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_NOT_FOUND) {
            answer.status = StoreAnswer::NoStore;
            answer.text = NoStoreText(code);
        }
        return answer;
    }
    answer.status = StoreAnswer::Found;
    answer.password.assign(reinterpret_cast<const char*>(credential->CredentialBlob),
                           credential->CredentialBlobSize);
    ::SecureZeroMemory(credential->CredentialBlob, credential->CredentialBlobSize);
    ::CredFree(credential);
    return answer;
}

bool StorePassword(const std::string& server, const std::string& user, const std::string& password,
                   std::string& error)
{
    std::wstring target = WideFromUtf8(CredentialLabel(server, user));
    std::wstring userName = WideFromUtf8(user);
    std::string blob = password;
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = target.data();
    credential.UserName = userName.data();
    credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
    credential.CredentialBlob = reinterpret_cast<LPBYTE>(blob.data());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    const bool stored = ::CredWriteW(&credential, 0) != FALSE;
    const DWORD code = ::GetLastError();
    ClearSecret(blob);
    if (!stored)
        error = NoStoreText(code);
    return stored;
}

StoreAnswer ForgetPassword(const std::string& server, const std::string& user)
{
    StoreAnswer answer;
    if (::CredDeleteW(WideFromUtf8(CredentialLabel(server, user)).c_str(), CRED_TYPE_GENERIC, 0)) {
        answer.status = StoreAnswer::Found;
    } else if (const DWORD code = ::GetLastError(); code != ERROR_NOT_FOUND) {
        answer.status = StoreAnswer::NoStore;
        answer.text = NoStoreText(code);
    }
    return answer;
}

bool ListCredentials(std::vector<StoredCredential>& out, std::string& error)
{
    DWORD count = 0;
    PCREDENTIALW* credentials = nullptr;
    if (!::CredEnumerateW(kLabelFilter, 0, &count, &credentials)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_NOT_FOUND)
            return true;
        error = NoStoreText(code);
        return false;
    }
    const std::string prefix = CredentialLabel("", "");  // "Quenlo: @"
    for (DWORD i = 0; i < count; ++i) {
        if (credentials[i]->Type != CRED_TYPE_GENERIC || credentials[i]->UserName == nullptr)
            continue;
        const std::string user = Utf8FromWide(credentials[i]->UserName);
        const std::string label = Utf8FromWide(credentials[i]->TargetName);
        // "Quenlo: " USER "@" SERVER: the user is known, so the server is what follows it.
        const std::string head = prefix.substr(0, prefix.size() - 1) + user + "@";
        if (label.starts_with(head) && label.size() > head.size())
            out.push_back({label.substr(head.size()), user});
    }
    ::CredFree(credentials);
    return true;
}

bool StdinIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

bool SetTerminalEcho(bool on)
{
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!::GetConsoleMode(input, &mode))
        return false;
    mode = on ? (mode | ENABLE_ECHO_INPUT) : (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    return ::SetConsoleMode(input, mode) != FALSE;
}

}  // namespace quenlo::platform
