// A TWSocket aimed at a target through a SOCKS proxy, recording its events as text: the client of
// the SOCKS tests on Linux and under wine.
#pragma once

#include "net/WSocket.h"
#include "support/RunUntil.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace quenlo::test {

inline std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

struct SocksClient {
    TWSocket sock;
    std::vector<std::string> events;
    std::string received;
    bool closed = false;

    // proxyPort 0: straight to the target.
    SocksClient(int proxyPort, std::uint16_t target, const std::string& level = "5")
    {
        sock.SetAddr("127.0.0.1");
        sock.SetPort(std::to_string(target));
        if (proxyPort != 0) {
            sock.SetSocksServer("127.0.0.1");
            sock.SetSocksPort(std::to_string(proxyPort));
            sock.SetSocksLevel(level);
        }
        sock.OnSocksConnected = [this](TCustomWSocket&, std::uint16_t e) { Add("proxy " + std::to_string(e)); };
        sock.OnSocksAuthState = [this](TCustomWSocket&, TSocksAuthState s) { Add(std::string("auth ") + to_string(s)); };
        sock.OnSocksError = [this](TCustomWSocket&, int e, const std::string& m) {
            Add("error " + std::to_string(e) + " " + m);
        };
        sock.OnSessionConnected = [this](TCustomWSocket&, std::uint16_t e) { Add("connected " + std::to_string(e)); };
        // The application has sent nothing before it is connected: no OnDataSent may come first.
        sock.OnDataSent = [this](TCustomWSocket&, std::uint16_t) {
            if (!Has("connected 0"))
                Add("sent early");
        };
        sock.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t e) {
            Add("closed " + std::to_string(e));
            closed = true;
        };
        sock.OnDataAvailable = [this](TCustomWSocket& s, std::uint16_t) {
            char buf[5];  // small: the rest must be offered again
            int n = s.Receive(buf, sizeof buf);
            if (n > 0)
                received.append(buf, static_cast<std::size_t>(n));
        };
    }
    // Offers a user name and password to the proxy.
    void LogOnAs(const std::string& user, const std::string& password)
    {
        sock.SetSocksAuthentication(socksAuthenticateUsercode);
        sock.SetSocksUsercode(user);
        sock.SetSocksPassword(password);
    }
    void Add(const std::string& e) { events.push_back(e); }
    bool Has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
    std::string Events() const
    {
        std::string all;
        for (const auto& e : events)
            all += e + "; ";
        return all;
    }
    // Connects and waits for the outcome: true once the target is reached.
    bool ConnectAndWait()
    {
        sock.Connect();
        runUntil([&] { return Has("connected 0") || closed; }, std::chrono::seconds(30));
        return Has("connected 0");
    }
    // Sends text and waits for the echo.
    bool Echo(const std::string& text)
    {
        received.clear();
        sock.SendText(text);
        return runUntil([&] { return received.size() >= text.size() || closed; }, std::chrono::seconds(30)) &&
               received == text;
    }
};

}  // namespace quenlo::test
