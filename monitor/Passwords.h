// Where a request's password comes from, and what becomes of one the user typed.
//
// In this order: the entry's "pass" key when it is not empty (a file that works keeps working),
// then a password typed in the window during this run and not kept by the store, then the user's
// credential store (platform/Credentials.h) for the server and user, else none. Nothing is looked
// up for an entry without a user. A store that could not be asked once (none, locked, its unlock
// prompt dismissed or unanswered) is not asked again until the program starts again.
#pragma once

#include "platform/Credentials.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quenlo {

struct KnownPassword {
    enum class Source : std::uint8_t { File, Typed, Store, None };
    Source source = Source::None;
    std::string password;
    // The store could not be asked (none, locked, refused): why, in the store's words.
    std::string noStore;
};

// `remotehost` is "host" or "host:port" (port 80 when none is given). With `offThread` the store
// is asked on a worker thread while this thread's loop runs on (the caller's handlers may run
// meanwhile, as inside a request); without it the call blocks for as long as the store takes.
KnownPassword FindPassword(const std::string& remotehost, const std::string& user, const std::string& pass,
                           bool offThread);

// What FindPassword gives without asking the store: the file's password, none for an entry
// without a user, one typed during this run, none when the store could not be asked earlier in
// this run. nullopt when only the store can tell.
std::optional<KnownPassword> PasswordWithoutStore(const std::string& remotehost, const std::string& user,
                                                  const std::string& pass);
// Asks the store itself (blocking up to platform::kStoreBound), for a caller that runs it on a
// worker thread of its own; a store that cannot be asked is not asked again in this run.
platform::StoreAnswer LookUpInStore(const std::string& server, const std::string& user);

// A password the user typed for the server ("host:port", platform::CredentialServer) and user, and
// that the server took. With `remember` it goes to the store (off this thread, as above); when it
// is not to be remembered, or the store cannot keep it, it is held in memory until the program
// ends, never written anywhere. Returns true when the store keeps it.
bool KeepTypedPassword(const std::string& server, const std::string& user, const std::string& password,
                       bool remember);

}  // namespace quenlo
