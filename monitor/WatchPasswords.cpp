#include "monitor/WatchPasswords.h"

#include "monitor/Passwords.h"
#include "platform/Credentials.h"
#include "platform/OffThread.h"

#include <atomic>
#include <optional>
#include <utility>

namespace quenlo {

namespace {

constexpr unsigned kLookupDone = platform::WM_USER + 1;

// Filled in by the worker, read on the watch's thread once `done` is set.
struct StoreLookup {
    std::atomic<bool> done{false};
    platform::StoreAnswer answer;
};

}  // namespace

struct TWatchPasswords::Credential {
    std::string remotehost, user, pass;
    bool known = false;
    std::string password;
    std::shared_ptr<StoreLookup> lookup;  // while the store is being asked
};

TWatchPasswords::TWatchPasswords()
{
    target_ = platform::CreateMessageTarget([this](platform::HWND, unsigned message, platform::WPARAM, platform::LPARAM) {
        if (message == kLookupDone)
            TakeAnswers();
        return platform::LRESULT{0};
    });
}

TWatchPasswords::~TWatchPasswords()
{
    platform::DestroyMessageTarget(target_);
    for (auto& c : credentials_)
        platform::ClearSecret(c->password);
}

TWatchPasswords::Id TWatchPasswords::Add(const std::string& remotehost, const std::string& user,
                                         const std::string& pass)
{
    if (user.empty())
        return kNone;
    for (std::size_t i = 0; i < credentials_.size(); ++i) {
        const Credential& c = *credentials_[i];
        if (c.remotehost == remotehost && c.user == user && c.pass == pass)
            return i + 1;
    }
    auto c = std::make_unique<Credential>();
    c->remotehost = remotehost;
    c->user = user;
    c->pass = pass;
    credentials_.push_back(std::move(c));
    return credentials_.size();
}

const std::string* TWatchPasswords::Find(Id id)
{
    static const std::string none;
    if (id == kNone || id > credentials_.size())
        return &none;
    Credential& c = *credentials_[id - 1];
    if (c.known)
        return &c.password;
    if (c.lookup)
        return nullptr;
    platform::ClearSecret(c.password);
    if (std::optional<KnownPassword> found = PasswordWithoutStore(c.remotehost, c.user, c.pass)) {
        c.password = std::move(found->password);
        c.known = true;
        return &c.password;
    }
    auto lookup = std::make_shared<StoreLookup>();
    const std::string server = platform::CredentialServer(c.remotehost, "80");
    const std::string user = c.user;
    if (!platform::StartOffThread(
            [lookup, server, user] {
                lookup->answer = LookUpInStore(server, user);
                lookup->done = true;
            },
            target_, kLookupDone)) {
        c.known = true;  // with no password, as without a store
        return &c.password;
    }
    c.lookup = std::move(lookup);
    return nullptr;
}

void TWatchPasswords::Refused(Id id)
{
    if (id == kNone || id > credentials_.size())
        return;
    Credential& c = *credentials_[id - 1];
    if (c.pass.empty())
        c.known = false;
}

void TWatchPasswords::TakeAnswers()
{
    bool found = false;
    for (auto& c : credentials_) {
        if (!c->lookup || !c->lookup->done)
            continue;
        platform::StoreAnswer& answer = c->lookup->answer;
        c->password = std::move(answer.password);
        platform::ClearSecret(answer.password);
        c->lookup.reset();
        c->known = true;
        found = true;
    }
    if (found && OnFound)
        OnFound();
}

}  // namespace quenlo
