// THttpCli asking for TLS from servers that answer the ClientHello badly: the same cases on Linux
// (GnuTLS) and under wine (the system's SChannel), against the scripted peer.
#include "net/HttpProt.h"
#include "support/ScriptedPeer.h"
#include "trust_store_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;

// Nothing is kept when a handshake fails.
using TlsHandshake = TrustStoreTest;

TEST_F(TlsHandshake, ServersThatAnswerTheHandshakeBadlyEndTheRequestWithTheirReason)
{
    THttpCli http;
    http.SetEncryption(heRequired);
    http.SetNoProgressTimeout(1500ms);

    {  // plain HTTP where TLS is required
        ScriptedPeer server;
        server.Connection().Wait(100ms).Send(ScriptedPeer::Response(400, "Bad Request", "no")).Close();
        EXPECT_NE(Get(http, server.Url("/")).find("does not speak TLS"), std::string::npos);
        EXPECT_EQ(code_, HttpError::TlsFailed);
    }
    {  // a TLS record header, then garbage
        ScriptedPeer server;
        server.Connection().Wait(100ms).Send(std::string("\x16\x03\x03\x00\x08garbage!garbage!", 21)).Close();
        const std::string failure = Get(http, server.Url("/"));
        EXPECT_NE(failure.find("TLS handshake with 127.0.0.1:"), std::string::npos) << failure;
        EXPECT_EQ(code_, HttpError::TlsFailed);
    }
    {  // a server that takes the ClientHello and never answers: the no-progress limit ends it
        ScriptedPeer server;
        server.Connection().Hold();
        const std::string failure = Get(http, server.Url("/"));
        EXPECT_NE(failure.find("stalled"), std::string::npos) << failure;
        EXPECT_EQ(http.ReplyStatus(), 404);
    }
    {  // a 426 is repeated over TLS, and the server is then asked over TLS from the start
        ScriptedPeer server;
        server.Connection().ReadRequest().Send(ScriptedPeer::Response(426, "Upgrade Required", "")).Close();
        server.RepeatLast(false);
        server.Connection().Wait(100ms).Send(ScriptedPeer::Response(400, "Bad Request", "no")).Close();
        server.Connection().Wait(100ms).Send(ScriptedPeer::Response(400, "Bad Request", "no")).Close();
        http.SetEncryption(heIfRequested);
        const std::string noLonger = "127.0.0.1:" + server.PortText() +
                                     " no longer speaks TLS (it answered in plain HTTP); the request was not "
                                     "repeated without TLS. To allow plain HTTP for this entry, set encryption=Never";
        EXPECT_EQ(Get(http, server.Url("/")), noLonger);
        EXPECT_EQ(server.Received(0).rfind("GET / HTTP/1.0\r\n", 0), 0u);
        EXPECT_EQ(server.Received(1)[0], '\x16');  // a ClientHello
        EXPECT_EQ(Get(http, server.Url("/")), noLonger);
        EXPECT_EQ(server.Received(2)[0], '\x16');
        // Never keeps today's bytes: the 426 is the answer.
        ScriptedPeer plain;
        plain.Connection().ReadRequest().Send(ScriptedPeer::Response(426, "Upgrade Required", "")).Close();
        http.SetEncryption(heNever);
        EXPECT_EQ(Get(http, plain.Url("/")), "Upgrade Required");
        EXPECT_EQ(plain.Connections(), 1u);
    }
}

}  // namespace
}  // namespace quenlo::test
