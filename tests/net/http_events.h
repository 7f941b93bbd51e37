// Event recorder for THttpCli tests: every event as one readable line, the body apart.
#pragma once

#include "net/HttpProt.h"
#include "platform/EventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace quenlo::test {

// Runs `call` and returns the EHttpException it raised; fails the test when it returned.
template <class F>
EHttpException Raised(F call)
{
    try {
        call();
    } catch (const EHttpException& e) {
        return e;
    }
    ADD_FAILURE() << "no EHttpException";
    return EHttpException("", 0);
}


struct HttpEventLog {
    std::vector<std::string> events;
    std::string body;
    bool requestDone = false;

    void Add(std::string e) { events.push_back(std::move(e)); }

    // Hooks every event of `http`. Consecutive OnDocData lines are merged into one "DocData", so
    // the log does not depend on how the bytes were split into reads.
    void Attach(THttpCli& http, bool withStates = true)
    {
        if (withStates)
            http.OnStateChange = [this](THttpCli& h) { Add(std::string("State ") + to_string(h.State())); };
        http.OnSessionConnected = [this](THttpCli&) { Add("SessionConnected"); };
        http.OnCommand = [this](THttpCli&, const std::string& s) { Add("Command " + s); };
        http.OnRequestHeaderBegin = [this](THttpCli&) { Add("RequestHeaderBegin"); };
        http.OnRequestHeaderEnd = [this](THttpCli&) { Add("RequestHeaderEnd"); };
        http.OnSendBegin = [this](THttpCli&) { Add("SendBegin"); };
        http.OnSendData = [this](THttpCli&, const char*, std::int32_t n) { Add("SendData " + std::to_string(n)); };
        http.OnSendEnd = [this](THttpCli&) { Add("SendEnd"); };
        http.OnHeaderBegin = [this](THttpCli&) { Add("HeaderBegin"); };
        http.OnHeaderData = [this](THttpCli& h) { Add("HeaderData " + h.ReplyHeaderLines().back()); };
        http.OnCookie = [this](THttpCli&, const std::string& d, bool& accept) {
            Add("Cookie " + d + (accept ? " (accept)" : ""));
        };
        http.OnHeaderEnd = [this](THttpCli&) { Add("HeaderEnd"); };
        http.OnDocBegin = [this](THttpCli&) { Add("DocBegin"); };
        http.OnDocData = [this](THttpCli&, const char* b, std::int32_t n) {
            body.append(b, static_cast<std::size_t>(n));
            if (events.empty() || events.back() != "DocData")
                Add("DocData");
        };
        http.OnDocEnd = [this](THttpCli&) { Add("DocEnd"); };
        http.OnLocationChange = [this](THttpCli& h) { Add("LocationChange " + h.CurrentUrl()); };
        http.OnRequestDone = [this](THttpCli&, THttpRequest rq, std::uint16_t error) {
            Add(std::string("RequestDone ") + to_string(rq) + " " + std::to_string(error));
            requestDone = true;
        };
    }

    std::string Text() const
    {
        std::string all;
        for (const auto& e : events)
            all += e + "\n";
        return all;
    }
};

// Pumps the calling thread's event loop until `done` holds or `limit` passes.
template <class Pred>
bool PumpUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        platform::WaitAndProcess(std::min(left, std::chrono::milliseconds(50)));
    }
    return true;
}

}  // namespace quenlo::test
