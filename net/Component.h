// The small base of the network components (TWSocket, THttpCli): an owner, a name, the destroying
// flag, and a liveness token for re-entrant code.
//
// Ownership: the owner is informational only (who created the component); C++ ownership is by
// value or std::unique_ptr, so an owner never deletes its components itself.
//
// Re-entrancy: an event handler may destroy the component that fired it. Code that fires an event
// and then wants to touch its own members takes a token first and checks it afterwards:
//
//     auto alive = LivenessToken();
//     fire(OnSomething, *this, 0);
//     if (alive.expired()) return;   // the handler destroyed us: touch nothing
//
// A derived destructor calls MarkDestroying() first; from then on the token has expired and
// Destroying() is true, so nothing fires into an owner that is itself being torn down.
#pragma once

#include <memory>
#include <string>
#include <utility>

namespace quenlo {

// Expires when the component it was taken from is destroyed (or starts being destroyed).
using TLivenessToken = std::weak_ptr<const void>;

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
    virtual ~TComponent() = default;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    // The component that created this one, or nullptr.
    TComponent* Owner() const noexcept { return owner_; }

    // A free label (used in traces and test messages); empty by default.
    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    // True once the destructor has started.
    bool Destroying() const noexcept { return destroying_; }

    // A token that expires when this component is destroyed; see the header comment.
    TLivenessToken LivenessToken() const noexcept { return alive_; }

protected:
    // Called first thing by the destructor of a concrete component: sets Destroying() and expires
    // every token handed out. Idempotent.
    void MarkDestroying() noexcept
    {
        destroying_ = true;
        alive_.reset();
    }

private:
    TComponent* owner_;
    std::string name_;
    bool destroying_ = false;
    std::shared_ptr<const int> alive_ = std::make_shared<const int>(0);
};

// Fires an event (a std::function member) only when a handler is assigned. The handler runs from a
// copy, so it may reassign the event or destroy the component that holds it.
template <class F, class... A>
void fire(const F& f, A&&... a)
{
    if (f) {
        F handler = f;
        handler(std::forward<A>(a)...);
    }
}

}  // namespace quenlo
