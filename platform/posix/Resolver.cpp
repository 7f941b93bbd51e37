// Asynchronous lookups: the blocking resolver runs on a few worker threads, and each answer is
// posted to the requesting target's thread. The workers are joined when the program ends; a lookup
// still in the resolver then holds the exit for at most the resolver's own time-out, and requests
// that had not started are dropped.

#include "platform/posix/LoopInternal.h"
#include "platform/Winsock.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quenlo::platform::ws {

namespace {

constexpr std::size_t kMaxWorkers = 4;

struct Request {
    HANDLE id = 0;
    HWND hwnd = 0;
    unsigned message = 0;
    bool reverse = false;
    std::string name;
    std::uint32_t address = 0;
    bool running = false;
    bool cancelled = false;
};

struct Answer {
    HostEntry entry;
    HWND hwnd = 0;
    unsigned message = 0;
};

// Set once the resolver has been destroyed at exit; code that runs later (destructors of other
// static objects) then finds no resolver instead of a dead one.
std::atomic<bool> resolverGone{false};

class Resolver {
public:
    ~Resolver()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            for (const auto& request : queue_)
                active_.erase(request->id);
            queue_.clear();
        }
        wake_.notify_all();
        for (std::thread& worker : workers_)
            worker.join();
        resolverGone = true;
    }

    HANDLE submit(std::shared_ptr<Request> request)
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            WSASetLastError(WSANOTINITIALISED);
            return 0;
        }
        request->id = nextId_++;
        if (queue_.size() + busy_ >= workers_.size() && workers_.size() < kMaxWorkers) {
            try {
                workers_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                if (workers_.empty()) {
                    WSASetLastError(WSAENOBUFS);
                    return 0;
                }
            }
        }
        active_[request->id] = request;
        queue_.push_back(request);
        wake_.notify_one();
        return request->id;
    }

    int cancel(HANDLE id)
    {
        std::lock_guard lock(mutex_);
        if (auto it = active_.find(id); it != active_.end() && !it->second->cancelled) {
            it->second->cancelled = true;
            if (!it->second->running) {
                std::erase(queue_, it->second);
                active_.erase(it);
            }
            return 0;
        }
        if (auto it = answers_.find(id); it != answers_.end()) {
            // Answered but not yet fetched: take the queued answer back too.
            const HWND hwnd = it->second.hwnd;
            const unsigned message = it->second.message;
            answers_.erase(it);
            detail::PurgeQueued(hwnd, [=](const detail::QueueEntry& e) {
                return e.msg.hwnd == hwnd && e.msg.message == message && e.msg.wParam == id;
            });
            return 0;
        }
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }

    std::optional<HostEntry> take(HANDLE id)
    {
        std::lock_guard lock(mutex_);
        auto it = answers_.find(id);
        if (it == answers_.end())
            return std::nullopt;
        HostEntry entry = std::move(it->second.entry);
        answers_.erase(it);
        return entry;
    }

    void forgetTarget(HWND hwnd)
    {
        std::lock_guard lock(mutex_);
        for (auto it = active_.begin(); it != active_.end();) {
            std::shared_ptr<Request> request = it->second;
            if (request->hwnd == hwnd && !request->running) {
                std::erase(queue_, request);
                it = active_.erase(it);
                continue;
            }
            if (request->hwnd == hwnd)
                request->cancelled = true;
            ++it;
        }
        std::erase_if(answers_, [hwnd](const auto& entry) { return entry.second.hwnd == hwnd; });
    }

    std::size_t pending()
    {
        std::lock_guard lock(mutex_);
        return active_.size();
    }

private:
    void work()
    {
        for (;;) {
            std::shared_ptr<Request> request;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_)
                    return;
                request = queue_.front();
                queue_.pop_front();
                request->running = true;
                ++busy_;
            }
            std::optional<HostEntry> entry =
                request->reverse ? gethostbyaddr(request->address) : GetAllAddresses(request->name);
            int error = entry ? 0 : WSAGetLastError();
            if (entry && !request->reverse && entry->every.empty()) {
                entry.reset();  // a name without an address
                error = WSANO_DATA;
            }
            std::lock_guard lock(mutex_);
            --busy_;
            active_.erase(request->id);
            if (request->cancelled)
                continue;
            // Kept until it is fetched, cancelled or its target is destroyed, however many wait:
            // each belongs to a request that a live target may still fetch.
            if (entry)
                answers_[request->id] = Answer{std::move(*entry), request->hwnd, request->message};
            // Posted under the lock, so a cancel either comes before (nothing is posted) or
            // after (and takes the queued answer back).
            if (!PostMessage(request->hwnd, request->message, request->id,
                             WSAMAKEASYNCREPLY(0, static_cast<unsigned>(error))))
                answers_.erase(request->id);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Request>> queue_;
    std::map<HANDLE, std::shared_ptr<Request>> active_;  // queued or in the resolver
    std::map<HANDLE, Answer> answers_;                    // posted, not yet fetched
    std::vector<std::thread> workers_;
    std::size_t busy_ = 0;
    HANDLE nextId_ = 1;
    bool stopping_ = false;
};

Resolver* resolver()
{
    if (resolverGone)
        return nullptr;
    static Resolver instance;
    return &instance;
}

HANDLE start(HWND hwnd, unsigned message, std::shared_ptr<Request> request)
{
    if (!IsMessageTarget(hwnd)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    Resolver* r = resolver();
    if (!r) {
        WSASetLastError(WSANOTINITIALISED);
        return 0;
    }
    request->hwnd = hwnd;
    request->message = message;
    return r->submit(std::move(request));
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, unsigned message, const std::string& name)
{
    auto request = std::make_shared<Request>();
    request->name = name;
    return start(hwnd, message, std::move(request));
}

HANDLE WSAAsyncGetHostByAddr(HWND hwnd, unsigned message, std::uint32_t addressNetworkOrder)
{
    auto request = std::make_shared<Request>();
    request->reverse = true;
    request->address = addressNetworkOrder;
    return start(hwnd, message, std::move(request));
}

int WSACancelAsyncRequest(HANDLE request)
{
    if (Resolver* r = resolver())
        return r->cancel(request);
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
}

std::optional<HostEntry> WSATakeHostResult(HANDLE request)
{
    Resolver* r = resolver();
    return r ? r->take(request) : std::nullopt;
}

std::size_t PendingLookupCount()
{
    Resolver* r = resolver();
    return r ? r->pending() : 0;
}

}  // namespace quenlo::platform::ws

namespace quenlo::platform::detail {

void ForgetTargetLookups(HWND hwnd)
{
    if (ws::Resolver* r = ws::resolver())
        r->forgetTarget(hwnd);
}

}  // namespace quenlo::platform::detail
