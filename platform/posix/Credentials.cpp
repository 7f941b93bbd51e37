// The credential store on Linux: the Secret Service of the session bus, through libsecret. Items
// carry the attributes "server" and "user" under the program's own schema, so `secret-tool search
// server HOST:PORT` finds them.
#include "platform/Credentials.h"
#include "platform/posix/LoadedLibrary.h"

#include <libsecret/secret.h>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>

namespace quenlo::platform {

namespace {

// libsecret (and GLib through it), loaded by the first call that needs the store.
constexpr const char* kSecretLibrary = "libsecret-1.so.0";

struct SecretCalls {
    decltype(&::secret_password_lookup_binary_sync) password_lookup_binary_sync = nullptr;
    decltype(&::secret_password_store_binary_sync) password_store_binary_sync = nullptr;
    decltype(&::secret_password_clear_sync) password_clear_sync = nullptr;
    decltype(&::secret_password_search_sync) password_search_sync = nullptr;
    decltype(&::secret_retrievable_get_attributes) retrievable_get_attributes = nullptr;
    decltype(&::secret_value_new) value_new = nullptr;
    decltype(&::secret_value_get) value_get = nullptr;
    decltype(&::secret_value_unref) value_unref = nullptr;
    decltype(&::g_cancellable_new) cancellable_new = nullptr;
    decltype(&::g_cancellable_cancel) cancellable_cancel = nullptr;
    decltype(&::g_object_unref) object_unref = nullptr;
    decltype(&::g_error_free) error_free = nullptr;
    decltype(&::g_utf8_validate) utf8_validate = nullptr;
    decltype(&::g_hash_table_lookup) hash_table_lookup = nullptr;
    decltype(&::g_hash_table_unref) hash_table_unref = nullptr;
    decltype(&::g_list_free_full) list_free_full = nullptr;
};

// Loaded once and kept for the program's life; nullptr where the library or an entry is missing.
const SecretCalls* LoadedSecret()
{
    static const SecretCalls* calls = []() -> const SecretCalls* {
        static SecretCalls c;
        void* library = ::dlopen(kSecretLibrary, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return nullptr;
        const bool bound = Bind(library, "secret_password_lookup_binary_sync", c.password_lookup_binary_sync) &&
                           Bind(library, "secret_password_store_binary_sync", c.password_store_binary_sync) &&
                           Bind(library, "secret_password_clear_sync", c.password_clear_sync) &&
                           Bind(library, "secret_password_search_sync", c.password_search_sync) &&
                           Bind(library, "secret_retrievable_get_attributes", c.retrievable_get_attributes) &&
                           Bind(library, "secret_value_new", c.value_new) &&
                           Bind(library, "secret_value_get", c.value_get) &&
                           Bind(library, "secret_value_unref", c.value_unref) &&
                           Bind(library, "g_cancellable_new", c.cancellable_new) &&
                           Bind(library, "g_cancellable_cancel", c.cancellable_cancel) &&
                           Bind(library, "g_object_unref", c.object_unref) &&
                           Bind(library, "g_error_free", c.error_free) &&
                           Bind(library, "g_utf8_validate", c.utf8_validate) &&
                           Bind(library, "g_hash_table_lookup", c.hash_table_lookup) &&
                           Bind(library, "g_hash_table_unref", c.hash_table_unref) &&
                           Bind(library, "g_list_free_full", c.list_free_full);
        return bound ? &c : nullptr;
    }();
    return calls;
}

const SecretSchema* Schema()
{
    static const SecretSchema schema = {
        "com.dorvane.Quenlo.Password",
        SECRET_SCHEMA_NONE,
        {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"user", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

// What a call within the bound gives back; freed by whichever of the caller and the call's thread
// lets go last, a password it holds wiped.
template <typename Result>
struct BoundedCall {
    ~BoundedCall()
    {
        if constexpr (std::is_same_v<Result, StoreAnswer>)
            ClearSecret(result.password);
    }
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    Result result{};
};

// A call that waited kStoreBound has its cancellable fired, and gets this much longer to end.
constexpr std::chrono::seconds kCancelGrace{2};

std::string NoAnswerText()
{
    return "the desktop's keyring did not answer within " + std::to_string(kStoreBound.count()) +
           " s (an unlock prompt left unanswered?)";
}

// Runs `call` on a thread of its own, for at most kStoreBound (and the grace): an unlock prompt
// that nobody answers must not hold the program. Firing the call's cancellable is not enough:
// libsecret never ends a call that waits on a prompt when its cancellable fires (the prompt's
// cancellation hands the call no error), so past the bound the caller stops waiting whatever the
// call does, and a result that comes later is dropped. `late` is the result then (and when no
// thread could be had), made from NoAnswerText().
template <typename Result>
Result WithinBound(const SecretCalls& calls, std::function<Result(GCancellable*)> call,
                   Result (*late)(std::string))
{
    auto state = std::make_shared<BoundedCall<Result>>();
    GCancellable* cancellable = calls.cancellable_new();
    try {
        std::thread([state, &calls, cancellable, call = std::move(call)] {
            Result result = call(cancellable);
            {
                std::lock_guard lock(state->mutex);
                state->result = std::move(result);
                state->done = true;
            }
            state->wake.notify_one();
            calls.object_unref(cancellable);
        }).detach();
    } catch (const std::system_error&) {
        calls.object_unref(cancellable);
        return late(NoAnswerText());
    }
    std::unique_lock lock(state->mutex);
    if (!state->wake.wait_for(lock, kStoreBound, [&state] { return state->done; })) {
        // Still referenced: the call's thread lets the cancellable go only once done, under this lock.
        calls.cancellable_cancel(cancellable);
        if (!state->wake.wait_for(lock, kCancelGrace, [&state] { return state->done; }))
            return late(NoAnswerText());
    }
    return std::move(state->result);
}

StoreAnswer NoStoreAnswer(std::string text) { return {StoreAnswer::NoStore, {}, std::move(text)}; }
std::string Itself(std::string text) { return text; }

// Without a session bus GLib would try to start one for the X display (autolaunch), a daemon that
// outlives the program: that is no store, and is said so.
bool SessionBusKnown(std::string& text)
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0')
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (runtime != nullptr && *runtime == '/' && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 &&
        S_ISSOCK(info.st_mode))
        return true;
    text = "no session bus for the desktop's keyring (DBUS_SESSION_BUS_ADDRESS is not set)";
    return false;
}

// The store's calls where there is a session bus and the library loads; nullptr with the reason.
const SecretCalls* Store(std::string& text)
{
    if (!SessionBusKnown(text))
        return nullptr;
    const SecretCalls* calls = LoadedSecret();
    if (calls == nullptr)
        text = std::string("no library for the desktop's keyring (") + kSecretLibrary + " is not installed)";
    return calls;
}

std::string NoStoreText(const SecretCalls& calls, GError* error)
{
    std::string text = "the desktop's keyring (Secret Service on the session bus) cannot be used";
    if (error != nullptr) {
        text += ": ";
        text += error->message;
        calls.error_free(error);
    }
    return text;
}

// The store's calls, or nullptr with the answer saying there is none and why.
const SecretCalls* StoreFor(StoreAnswer& answer)
{
    const SecretCalls* s = Store(answer.text);
    if (s == nullptr)
        answer.status = StoreAnswer::NoStore;
    return s;
}

}  // namespace

StoreAnswer LookupPassword(const std::string& server, const std::string& user)
{
    StoreAnswer answer;
    const SecretCalls* s = StoreFor(answer);
    if (s == nullptr)
        return answer;
    return WithinBound<StoreAnswer>(*s, [s, server, user](GCancellable* cancellable) {
        StoreAnswer got;
        GError* error = nullptr;
        // As bytes: a password moved from a code page 1250 file is not UTF-8, and must come back as
        // it went in.
        SecretValue* found = s->password_lookup_binary_sync(Schema(), cancellable, &error, "server", server.c_str(),
                                                            "user", user.c_str(), nullptr);
        if (error != nullptr) {
            got.status = StoreAnswer::NoStore;
            got.text = NoStoreText(*s, error);
        } else if (found != nullptr) {
            gsize length = 0;
            const gchar* bytes = s->value_get(found, &length);
            got.status = StoreAnswer::Found;
            got.password.assign(bytes, length);
        }
        if (found != nullptr)
            s->value_unref(found);  // the value wipes its bytes when freed
        return got;
    }, NoStoreAnswer);
}

bool StorePassword(const std::string& server, const std::string& user, const std::string& password,
                   std::string& error)
{
    const SecretCalls* s = Store(error);
    if (s == nullptr)
        return false;
    // The call's thread may outlive this one's wait: it works on a copy, wiped when it ends.
    auto copy = std::make_shared<std::string>(password);
    // What went wrong, or nothing.
    error = WithinBound<std::string>(*s, [s, server, user, copy](GCancellable* cancellable) {
        GError* failure = nullptr;
        const std::string label = CredentialLabel(server, user);
        const bool text = s->utf8_validate(copy->data(), static_cast<gssize>(copy->size()), nullptr);
        SecretValue* value = s->value_new(copy->data(), static_cast<gssize>(copy->size()),
                                          text ? "text/plain" : "application/octet-stream");
        ClearSecret(*copy);
        const gboolean stored =
            s->password_store_binary_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, cancellable,
                                          &failure, "server", server.c_str(), "user", user.c_str(), nullptr);
        s->value_unref(value);
        return stored && failure == nullptr ? std::string() : NoStoreText(*s, failure);
    }, Itself);
    return error.empty();
}

StoreAnswer ForgetPassword(const std::string& server, const std::string& user)
{
    StoreAnswer answer;
    const SecretCalls* s = StoreFor(answer);
    if (s == nullptr)
        return answer;
    return WithinBound<StoreAnswer>(*s, [s, server, user](GCancellable* cancellable) {
        StoreAnswer got;
        GError* error = nullptr;
        const gboolean removed = s->password_clear_sync(Schema(), cancellable, &error, "server", server.c_str(),
                                                        "user", user.c_str(), nullptr);
        if (error != nullptr) {
            got.status = StoreAnswer::NoStore;
            got.text = NoStoreText(*s, error);
        } else {
            got.status = removed ? StoreAnswer::Found : StoreAnswer::Missing;
        }
        return got;
    }, NoStoreAnswer);
}

bool ListCredentials(std::vector<StoredCredential>& out, std::string& error)
{
    const SecretCalls* s = Store(error);
    if (s == nullptr)
        return false;
    struct Listing {
        std::vector<StoredCredential> items;
        std::string error;
    };
    Listing listed = WithinBound<Listing>(*s, [s](GCancellable* cancellable) {
        Listing listing;
        GError* failure = nullptr;
        // No unlock and no secrets: a listing never needs the passwords themselves.
        GList* items = s->password_search_sync(Schema(), SECRET_SEARCH_ALL, cancellable, &failure, nullptr);
        if (failure != nullptr) {
            listing.error = NoStoreText(*s, failure);
            return listing;
        }
        for (GList* i = items; i != nullptr; i = i->next) {
            GHashTable* attributes = s->retrievable_get_attributes(static_cast<SecretRetrievable*>(i->data));
            const auto* server = static_cast<const char*>(s->hash_table_lookup(attributes, "server"));
            const auto* user = static_cast<const char*>(s->hash_table_lookup(attributes, "user"));
            if (server != nullptr && user != nullptr)
                listing.items.push_back({server, user});
            s->hash_table_unref(attributes);
        }
        s->list_free_full(items, s->object_unref);
        return listing;
    }, [](std::string text) { return Listing{{}, std::move(text)}; });
    if (!listed.error.empty()) {
        error = std::move(listed.error);
        return false;
    }
    out.insert(out.end(), listed.items.begin(), listed.items.end());
    return true;
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool SetTerminalEcho(bool on)
{
    termios mode{};
    if (::tcgetattr(STDIN_FILENO, &mode) != 0)
        return false;
    if (on)
        mode.c_lflag |= ECHO;
    else
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    return ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode) == 0;
}

}  // namespace quenlo::platform
