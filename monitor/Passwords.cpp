#include "monitor/Passwords.h"

#include "platform/Credentials.h"
#include "platform/OffThread.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quenlo {

namespace {

// Typed passwords the store does not keep, for this run only. The watch reads them from its own
// requests too, hence the lock.
class RunPasswords {
public:
    std::optional<std::string> Find(const std::string& server, const std::string& user)
    {
        std::lock_guard lock(mutex_);
        const auto found = kept_.find({server, user});
        return found == kept_.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    void Keep(const std::string& server, const std::string& user, const std::string& password)
    {
        std::lock_guard lock(mutex_);
        std::string& slot = kept_[{server, user}];
        platform::ClearSecret(slot);
        slot = password;
    }
    void Forget(const std::string& server, const std::string& user)
    {
        std::lock_guard lock(mutex_);
        const auto found = kept_.find({server, user});
        if (found == kept_.end())
            return;
        platform::ClearSecret(found->second);
        kept_.erase(found);
    }

private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> kept_;
};

RunPasswords& Typed()
{
    static RunPasswords typed;
    return typed;
}

// A store that could not be asked (none, locked, its unlock prompt dismissed or left unanswered)
// is not asked again in this run, by the window or the watch: every asking of a locked keyring
// puts another unlock prompt in the user's face. Why it could not, for the dialog's note.
class StoreDown {
public:
    std::optional<std::string> Why()
    {
        std::lock_guard lock(mutex_);
        return why_;
    }
    void Note(const platform::StoreAnswer& answer)
    {
        std::lock_guard lock(mutex_);
        if (answer.status == platform::StoreAnswer::NoStore && !why_)
            why_ = answer.text;
    }

private:
    std::mutex mutex_;
    std::optional<std::string> why_;
};

StoreDown& Down()
{
    static StoreDown down;
    return down;
}

platform::StoreAnswer LookUp(const std::string& server, const std::string& user, bool offThread)
{
    if (!offThread)
        return LookUpInStore(server, user);
    auto answer = std::make_shared<platform::StoreAnswer>();
    if (!platform::RunOffThread([answer, server, user] { *answer = LookUpInStore(server, user); })) {
        // The program is ending: whatever the store says now is of no use.
        return {platform::StoreAnswer::Missing, {}, {}};
    }
    return std::move(*answer);
}

}  // namespace

std::optional<KnownPassword> PasswordWithoutStore(const std::string& remotehost, const std::string& user,
                                                  const std::string& pass)
{
    KnownPassword known;
    if (!pass.empty() || user.empty()) {
        known.source = pass.empty() ? KnownPassword::Source::None : KnownPassword::Source::File;
        known.password = pass;
        return known;
    }
    if (std::optional<std::string> typed = Typed().Find(platform::CredentialServer(remotehost, "80"), user)) {
        known.source = KnownPassword::Source::Typed;
        known.password = std::move(*typed);
        return known;
    }
    if (std::optional<std::string> why = Down().Why()) {
        known.noStore = std::move(*why);
        return known;
    }
    return std::nullopt;
}

platform::StoreAnswer LookUpInStore(const std::string& server, const std::string& user)
{
    platform::StoreAnswer answer = platform::LookupPassword(server, user);
    Down().Note(answer);
    return answer;
}

KnownPassword FindPassword(const std::string& remotehost, const std::string& user, const std::string& pass,
                           bool offThread)
{
    if (std::optional<KnownPassword> known = PasswordWithoutStore(remotehost, user, pass))
        return std::move(*known);
    KnownPassword known;
    const std::string server = platform::CredentialServer(remotehost, "80");
    platform::StoreAnswer kept = LookUp(server, user, offThread);
    switch (kept.status) {
    case platform::StoreAnswer::Found:
        known.source = KnownPassword::Source::Store;
        known.password = std::move(kept.password);
        break;
    case platform::StoreAnswer::NoStore: known.noStore = std::move(kept.text); break;
    case platform::StoreAnswer::Missing: break;
    }
    return known;
}

bool KeepTypedPassword(const std::string& server, const std::string& user, const std::string& password,
                       bool remember)
{
    if (remember) {
        auto stored = std::make_shared<bool>(false);
        auto copy = std::make_shared<std::string>(password);
        const bool ran = platform::RunOffThread([stored, copy, server, user] {
            std::string error;
            *stored = platform::StorePassword(server, user, *copy, error);
            platform::ClearSecret(*copy);
        });
        if (ran && *stored) {
            // The store is read for every request from now on; a copy here would shadow a later
            // change made with quenlo-cli login.
            Typed().Forget(server, user);
            return true;
        }
    }
    Typed().Keep(server, user, password);
    return false;
}

}  // namespace quenlo
