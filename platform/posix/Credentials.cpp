// The credential store on Linux: the Secret Service of the session bus, through libsecret. Items
// carry the attributes "server" and "user" under the program's own schema, so `secret-tool search
// server HOST:PORT` finds them.
#include "platform/Credentials.h"

#include <libsecret/secret.h>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace quenlo::platform {

namespace {

const SecretSchema* Schema()
{
    static const SecretSchema schema = {
        "com.dorvane.Quenlo.Password",
        SECRET_SCHEMA_NONE,
        {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"user", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

// A cancellable that fires when the call it is handed to has run kStoreBound: an unlock prompt
// that nobody answers must not hold the program.
class Bounded {
public:
    Bounded() : cancellable_(g_cancellable_new()), watch_([this] { Watch(); }) {}
    ~Bounded()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        watch_.join();
        g_object_unref(cancellable_);
    }
    Bounded(const Bounded&) = delete;
    Bounded& operator=(const Bounded&) = delete;

    GCancellable* get() const { return cancellable_; }

private:
    void Watch()
    {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, kStoreBound, [this] { return done_; }))
            g_cancellable_cancel(cancellable_);
    }

    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watch_;  // last: starts once the members it reads exist
};

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

std::string NoStoreText(GError* error)
{
    std::string text = "the desktop's keyring (Secret Service on the session bus) cannot be used";
    if (error != nullptr) {
        text += ": ";
        text += error->message;
        g_error_free(error);
    }
    return text;
}

}  // namespace

StoreAnswer LookupPassword(const std::string& server, const std::string& user)
{
    StoreAnswer answer;
    if (!SessionBusKnown(answer.text)) {
        answer.status = StoreAnswer::NoStore;
        return answer;
    }
    Bounded bound;
    GError* error = nullptr;
    // As bytes: a password moved from a code page 1250 file is not UTF-8, and must come back as it
    // went in.
    SecretValue* found = secret_password_lookup_binary_sync(Schema(), bound.get(), &error, "server",
                                                            server.c_str(), "user", user.c_str(), nullptr);
    if (error != nullptr) {
        answer.status = StoreAnswer::NoStore;
        answer.text = NoStoreText(error);
    } else if (found != nullptr) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(found, &length);
        answer.status = StoreAnswer::Found;
        answer.password.assign(bytes, length);
    }
    if (found != nullptr)
        secret_value_unref(found);  // the value wipes its bytes when freed
    return answer;
}

bool StorePassword(const std::string& server, const std::string& user, const std::string& password,
                   std::string& error)
{
    if (!SessionBusKnown(error))
        return false;
    Bounded bound;
    GError* failure = nullptr;
    const std::string label = CredentialLabel(server, user);
    const bool text = g_utf8_validate(password.data(), static_cast<gssize>(password.size()), nullptr);
    SecretValue* value = secret_value_new(password.data(), static_cast<gssize>(password.size()),
                                          text ? "text/plain" : "application/octet-stream");
    const gboolean stored =
        secret_password_store_binary_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, bound.get(),
                                          &failure, "server", server.c_str(), "user", user.c_str(), nullptr);
    secret_value_unref(value);
    if (stored && failure == nullptr)
        return true;
    error = NoStoreText(failure);
    return false;
}

StoreAnswer ForgetPassword(const std::string& server, const std::string& user)
{
    StoreAnswer answer;
    if (!SessionBusKnown(answer.text)) {
        answer.status = StoreAnswer::NoStore;
        return answer;
    }
    Bounded bound;
    GError* error = nullptr;
    const gboolean removed = secret_password_clear_sync(Schema(), bound.get(), &error, "server",
                                                        server.c_str(), "user", user.c_str(), nullptr);
    if (error != nullptr) {
        answer.status = StoreAnswer::NoStore;
        answer.text = NoStoreText(error);
    } else {
        answer.status = removed ? StoreAnswer::Found : StoreAnswer::Missing;
    }
    return answer;
}

bool ListCredentials(std::vector<StoredCredential>& out, std::string& error)
{
    if (!SessionBusKnown(error))
        return false;
    Bounded bound;
    GError* failure = nullptr;
    // No unlock and no secrets: a listing never needs the passwords themselves.
    GList* items = secret_password_search_sync(Schema(), SECRET_SEARCH_ALL, bound.get(), &failure, nullptr);
    if (failure != nullptr) {
        error = NoStoreText(failure);
        return false;
    }
    for (GList* i = items; i != nullptr; i = i->next) {
        GHashTable* attributes = secret_retrievable_get_attributes(SECRET_RETRIEVABLE(i->data));
        const auto* server = static_cast<const char*>(g_hash_table_lookup(attributes, "server"));
        const auto* user = static_cast<const char*>(g_hash_table_lookup(attributes, "user"));
        if (server != nullptr && user != nullptr)
            out.push_back({server, user});
        g_hash_table_unref(attributes);
    }
    g_list_free_full(items, g_object_unref);
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
