// Helpers for the socket tests: the scripted peer, a run-until loop over the event loop, the text
// of a refusal, and a connect to a port of 127.0.0.1.
#pragma once

#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "support/RunUntil.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace quenlo::testing {

using namespace std::chrono_literals;
using test::Link;
using test::RefusingPort;
using test::ScriptedPeer;

// The shared run-until helpers, under the names these tests use.
inline bool RunLoopUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms)
{
    return test::runUntil(pred, timeout);
}
inline void RunLoopFor(std::chrono::milliseconds duration)
{
    test::runFor(duration);
}

// The message of the ESocketException that call throws ("" when it throws nothing, and a mark when
// it throws something else).
inline std::string SocketError(const std::function<void()>& call)
{
    try {
        call();
    } catch (const ESocketException& e) {
        return e.what();
    } catch (...) {
        return "<other exception>";
    }
    return "";
}

// Sets Addr/Port/Proto to host:port over TCP and connects.
inline void ConnectTo(TCustomWSocket& s, const std::string& port, const std::string& host = "127.0.0.1")
{
    s.SetAddr(host);
    s.SetPort(port);
    s.SetProto("tcp");
    s.Connect();
}
inline void ConnectTo(TCustomWSocket& s, std::uint16_t port)
{
    ConnectTo(s, std::to_string(port));
}

}  // namespace quenlo::testing
