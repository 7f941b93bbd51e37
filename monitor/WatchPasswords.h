// TWatchPasswords: the passwords of the watch's requests, found without the watch's thread ever
// waiting for the credential store.
//
// Each server and user's password (the proxy's too) is found in FindPassword's order
// (monitor/Passwords.h), the store asked on a worker thread: a locked keyring's unlock prompt may
// take the store's whole bound, and the window shares the watch's thread. A request whose password
// is being found waits for it; OnFound tells when one is in.
//
// A password the server refused (401, or 407 from the proxy) is found again before the next
// request, so one typed in the window or kept with quenlo-cli login meanwhile is taken up.
//
// Threads: everything but the lookups runs on the thread that made it, in its event loop.
#pragma once

#include "platform/EventLoop.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quenlo {

class TWatchPasswords {
public:
    using Id = std::size_t;
    static constexpr Id kNone = 0;  // nothing to find: an entry without a user

    TWatchPasswords();
    // Lookups still running are left to end on their own threads; their answers are dropped.
    ~TWatchPasswords();
    TWatchPasswords(const TWatchPasswords&) = delete;
    TWatchPasswords& operator=(const TWatchPasswords&) = delete;

    // The credentials of an entry: `remotehost` ("host" or "host:port"), its user and the file's
    // password. The same three give the same Id; kNone without a user.
    Id Add(const std::string& remotehost, const std::string& user, const std::string& pass);
    // The password once it is known (empty when there is none); nullptr while it is being found,
    // a lookup being started when none runs. The text stays valid until Find is called after a
    // Refused.
    const std::string* Find(Id id);
    // The server refused the password: the next Find looks for it again (not one from the file,
    // which only the user can mend).
    void Refused(Id id);

    // Fired on this thread when a lookup has ended and Find gives its password.
    std::function<void()> OnFound;

private:
    struct Credential;

    void TakeAnswers();

    std::vector<std::unique_ptr<Credential>> credentials_;
    platform::HWND target_ = 0;
};

}  // namespace quenlo
