// A TLS session carried by a TWSocket at the socket level, the way the HTTP client drives one: the
// handshake starts once the session is connected (after a SOCKS proxy's reply, when there is
// one), each arrival of bytes takes it a step further, then one request goes out and the plain
// answer is gathered until the end of the stream. Header-only: the Linux and the Windows suites
// both use it.
#pragma once

#include "net/WSocket.h"
#include "platform/Tls.h"

#include <memory>
#include <string>

namespace quenlo::test {

struct TlsOverSocket {
    TWSocket& sock;
    std::string host;
    std::string request;
    std::unique_ptr<platform::TlsSession> tls;
    std::string answer;
    std::string error;
    bool handshaken = false;
    bool ended = false;

    TlsOverSocket(TWSocket& s, std::string hostName, std::string requestBytes)
        : sock(s), host(std::move(hostName)), request(std::move(requestBytes))
    {
        sock.OnSessionConnected = [this](TCustomWSocket&, std::uint16_t e) {
            if (e != 0)
                return Fail("connect failed: " + std::to_string(e));
            platform::TlsTransport transport;
            transport.Send = [this](const void* data, std::size_t len) -> long {
                return sock.Send(data, static_cast<int>(len));
            };
            transport.Receive = [this](void* buffer, std::size_t size) -> long {
                const int n = sock.Receive(buffer, static_cast<int>(size));
                return n >= 0 ? n : sock.LastError() == 10035 ? platform::kTlsWouldBlock : -1;
            };
            tls = std::make_unique<platform::TlsSession>(host, std::move(transport));
            Step();
        };
        sock.OnDataAvailable = [this](TCustomWSocket&, std::uint16_t) { Step(); };
        sock.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t) {
            Step();
            ended = true;
        };
    }

    bool Over() const { return ended || !error.empty(); }

    void Fail(const std::string& why)
    {
        if (error.empty())
            error = why;
    }

    void Step()
    {
        if (!tls || Over())
            return;
        if (!handshaken) {
            const platform::TlsStep step = tls->Handshake();
            if (step == platform::TlsStep::WantMore)
                return;
            if (step == platform::TlsStep::Failed)
                return Fail(tls->Error());
            handshaken = true;
            if (tls->Write(request.data(), request.size()) < 0)
                return Fail(tls->Error());
        }
        char buffer[4096];
        for (;;) {
            const long n = tls->Read(buffer, sizeof buffer);
            if (n > 0) {
                answer.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                ended = true;
                return;
            } else {
                if (n != platform::kTlsWouldBlock)
                    Fail(tls->Error());
                return;
            }
        }
    }
};

}  // namespace quenlo::test
