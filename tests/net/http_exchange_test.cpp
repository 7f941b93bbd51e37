// THttpCli over real sockets against the scripted peer: what goes on the wire, in which
// order, and how every way a server can misbehave ends.
#include "net/HttpProt.h"
#include "http_events.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <utility>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;

const std::string kOk = ScriptedPeer::Response(200, "OK", "fine");

class HttpExchange : public ::testing::Test {
protected:
    HttpExchange()
    {
        http.SetReplyStream(&reply);
        http.SetNoProgressTimeout(10s);  // a broken test fails instead of hanging
    }
    ScriptedPeer server;
    THttpCli http;
    std::stringstream reply;
};

TEST_F(HttpExchange, GetSendsTheHeaderLinesInTheirOrder)
{
    server.Connection().ReadRequest().Send(kOk);
    server.Connection().ReadRequest().Send(kOk);
    http.SetURL(server.Url("/printers/p1"));
    http.SetSender("admin@example.org");
    http.SetReference("http://ref/");
    http.SetAgent("Internet Print Provider");
    http.SetNoCache(true);
    http.SetModifiedSince(2.75);
    http.SetUsername("anna");
    http.SetPassword("pw:x");
    http.SetProxyUsername("ignored-without-proxy");
    http.SetCookie("a=1");
    http.SetContentRangeBegin("100");
    http.Get();
    EXPECT_EQ(reply.str(), "fine");
    EXPECT_EQ(server.Received(0),
              "GET /printers/p1 HTTP/1.0\r\n"
              "From: admin@example.org\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "Referer: http://ref/\r\n"
              "User-Agent: Internet Print Provider\r\n"
              "Host: 127.0.0.1\r\n"
              "Pragma: no-cache\r\n"
              "If-Modified-Since: Mon, 01 Jan 1900 18:00:00 GMT\r\n"
              "Authorization: Basic " + Base64Encode("anna:pw:x") + "\r\n"
              "Cookie: a=1\r\n"
              "Range: bytes=100-\r\n"
              "\r\n");
    EXPECT_EQ(http.ContentRangeBegin(), "");  // a range is asked for once

    // Everything optional off: the minimal request.
    http.SetSender("");
    http.SetReference("");
    http.SetAccept("");
    http.SetAgent("");
    http.SetNoCache(false);
    http.SetModifiedSince(0);
    http.SetUsername("");
    http.SetCookie("");
    http.SetURL(server.Url(""));
    http.Get();
    EXPECT_EQ(server.Received(1), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(http.DocumentFileName(), "document.htm");
}

// A layer added to every connection sees the exchange's bytes both ways; the client knows
// nothing of it.
TEST_F(HttpExchange, AnAddedLayerSeesTheBytesBothWays)
{
    struct Recorder : THttpFilter {
        Recorder(THttpFilter& below, THttpChainListener& listener, std::string& sent, std::string& received)
            : THttpFilter(&below, listener), out(sent), in(received) {}
        long Send(const char* data, std::size_t len) override
        {
            out.append(data, len);
            return THttpFilter::Send(data, len);
        }
        int Receive(void* buffer, int size) override
        {
            const int n = THttpFilter::Receive(buffer, size);
            in.append(static_cast<const char*>(buffer), static_cast<std::size_t>(std::max(n, 0)));
            return n;
        }
        std::string& out;
        std::string& in;
    };
    std::string sent, received;
    http.AddFilter([&](THttpFilter& below, THttpChainListener& listener) {
        return std::make_unique<Recorder>(below, listener, sent, received);
    });
    server.Connection().ReadRequest().Send(kOk);
    http.SetURL(server.Url("/p"));
    http.Get();
    EXPECT_EQ(sent, server.Received(0));
    EXPECT_EQ(received, kOk);
    EXPECT_EQ(reply.str(), "fine");
}

TEST_F(HttpExchange, PostSendsItsBodyAfterTheHeaderInOrder)
{
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "ipp-answer", "application/ipp"));
    std::string body(20000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    std::stringstream post(body);
    HttpEventLog log;
    log.Attach(http);
    http.SetURL(server.Url("/printers/p1"));
    http.SetContentTypePost("application/ipp");
    http.SetPostStream(&post);
    http.Post();
    EXPECT_EQ(reply.str(), "ipp-answer");
    EXPECT_EQ(http.ReplyContentType(), "application/ipp");
    EXPECT_EQ(http.PostBytesSent(), 20000);
    EXPECT_EQ(server.Received(0),
              "POST /printers/p1 HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "Content-Type: application/ipp\r\n"
              "User-Agent: Mozilla/3.0 (compatible)\r\n"
              "Host: 127.0.0.1\r\n"
              "Content-Length: 20000\r\n"
              "\r\n" + body);
    ASSERT_TRUE(PumpUntil([&] { return log.requestDone; }));
    const std::string expected =
        "State hsNotConnected\n"
        "State hsDnsLookup\n"
        "State hsConnecting\n"
        "State hsConnected\n"
        "SessionConnected\n"
        "State hsWaitingHeader\n"
        "RequestHeaderBegin\n"
        "Command POST /printers/p1 HTTP/1.0\n"
        "Command Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\n"
        "Command Content-Type: application/ipp\n"
        "Command User-Agent: Mozilla/3.0 (compatible)\n"
        "Command Host: 127.0.0.1\n"
        "Command Content-Length: 20000\n"
        "RequestHeaderEnd\n"
        "Command \n"
        "SendBegin\n"
        "SendData 8193\n"
        "SendData 8193\n"
        "SendData 3614\n"
        "SendEnd\n"
        "HeaderBegin\n"
        "HeaderData HTTP/1.1 200 OK\n"
        "HeaderData Content-Type: application/ipp\n"
        "HeaderData Content-Length: 10\n"
        "State hsWaitingBody\n"
        "HeaderEnd\n"
        "DocBegin\n"
        "DocData\n"
        "DocEnd\n"
        "State hsReady\n"
        "RequestDone hrPost 0\n";
    EXPECT_EQ(log.Text(), expected);
}

TEST_F(HttpExchange, PostOfAnEmptyStreamSendsLengthZero)
{
    server.Connection().ReadRequest().Send(kOk);
    std::stringstream post;
    HttpEventLog log;
    log.Attach(http, false);
    http.SetURL(server.Url("/x"));
    http.SetPostStream(&post);
    http.Post();
    EXPECT_NE(server.Received(0).find("\r\nContent-Length: 0\r\n\r\n"), std::string::npos);
    EXPECT_NE(log.Text().find("SendBegin\nSendEnd\n"), std::string::npos) << log.Text();
    EXPECT_EQ(http.PostBytesSent(), 0);
}

TEST_F(HttpExchange, ThroughAProxyTheRequestNamesTheWholeUrl)
{
    // The scripted peer plays the proxy: it sees what a proxy would. Plain requests only: the
    // credentials to another host would otherwise go into a CONNECT tunnel.
    http.SetEncryption(heNever);
    server.Connection().ReadRequest().Send(kOk);
    server.Connection().ReadRequest().Send(kOk);
    std::stringstream post("x");
    http.SetURL("http://printhost:631/printers/p1");
    http.SetProxy("127.0.0.1:" + std::to_string(server.Port()));
    http.SetProxyPort("1");  // not used: the proxy setting names its port
    http.SetProxyUsername("pu");
    http.SetProxyPassword("pp");
    http.SetPostStream(&post);
    http.Post();
    const std::string first = server.Received(0);
    EXPECT_EQ(RequestLine(first), "POST http://printhost:631/printers/p1 HTTP/1.0");
    EXPECT_NE(first.find("\r\nHost: printhost\r\n"), std::string::npos);
    EXPECT_NE(first.find("\r\nProxy-Authorization: Basic " + Base64Encode("pu:pp") + "\r\n"), std::string::npos);
    EXPECT_EQ(first.find("Authorization: Basic", first.find("Proxy-Authorization") + 10), std::string::npos);

    // A bare proxy host takes ProxyPort; credentials in the URL never reach the request line.
    http.SetURL("http://u:p@printhost/x");
    http.SetProxy("127.0.0.1");
    http.SetProxyPort(std::to_string(server.Port()));
    http.SetProxyUsername("");
    http.Get();
    const std::string second = server.Received(1);
    EXPECT_EQ(RequestLine(second), "GET http://printhost/x HTTP/1.0");
    EXPECT_EQ(second.find("Proxy-Authorization"), std::string::npos);
    EXPECT_NE(second.find("\r\nAuthorization: Basic " + Base64Encode("u:p") + "\r\n"), std::string::npos);
    EXPECT_EQ(http.Username(), "u");  // credentials from the URL stay
    EXPECT_EQ(http.Password(), "p");
}

TEST_F(HttpExchange, BusyAndNothingToPostChangeNothing)
{
    server.Connection().ReadRequest().Wait(200ms).Send(kOk);
    http.SetURL(server.Url("/slow"));
    http.StartRequest(hrGet);
    const THttpCliState running = http.State();
    const EHttpException busy = Raised([&] { http.Get(); });
    EXPECT_EQ(busy.ErrorCode(), HttpError::Busy);
    EXPECT_EQ(busy.Message(), "HTTP component is busy");
    EXPECT_EQ(http.State(), running);
    ASSERT_TRUE(PumpUntil([&] { return http.State() == hsReady; }));
    EXPECT_EQ(reply.str(), "fine");  // the running request was not disturbed

    THttpCli idle;
    const EHttpException nothing = Raised([&] { idle.Post(); });
    EXPECT_EQ(nothing.ErrorCode(), HttpError::NothingToPost);
    EXPECT_EQ(nothing.Message(), "HTTP component has nothing to post");
    EXPECT_EQ(idle.State(), hsReady);
}

TEST_F(HttpExchange, ErrorStatusRaisesWithReasonAndCode)
{
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(404, "Not Found", "no such page"));
    http.SetURL(server.Url("/missing"));
    const EHttpException e = Raised([&] { http.Get(); });
    EXPECT_EQ(e.Message(), "Not Found");
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(http.ReplyStatus(), 404);
    EXPECT_EQ(reply.str(), "no such page");
}

TEST_F(HttpExchange, RelocationRepeatsTheRequest)
{
    server.Connection().ReadRequest().Send("HTTP/1.1 302 Found\r\nLocation: /new\r\n\r\n");
    server.Connection().ReadRequest().Send(kOk);
    HttpEventLog log;
    log.Attach(http, false);
    http.SetURL(server.Url("/old"));
    http.SetUsername("anna");
    http.Get();
    EXPECT_EQ(reply.str(), "fine");
    EXPECT_EQ(RequestLine(server.Received(1)), "GET /new HTTP/1.0");
    EXPECT_NE(server.Received(1).find("Authorization: Basic"), std::string::npos);  // same server
    EXPECT_EQ(http.ReplyHeaderLines().size(), 5u);
    EXPECT_EQ(http.CurrentUrl(), "/new");
    std::size_t changes = 0;
    for (const auto& e : log.events)
        changes += e.rfind("LocationChange", 0) == 0;
    EXPECT_EQ(changes, 1u);
}

TEST_F(HttpExchange, RelocatedPostSendsTheSameBodyAgain)
{
    const std::string body(10000, 'b');
    server.Connection().ReadRequest().Send("HTTP/1.1 307 Temporary\r\nLocation: /there\r\n\r\n");
    server.Connection().ReadRequest().Send(kOk);
    std::stringstream post("skip" + body);
    post.seekg(4);  // the body starts where the stream stands
    http.SetURL(server.Url("/here"));
    http.SetPostStream(&post);
    http.Post();
    ASSERT_TRUE(server.WaitForFinished(2, 5s));
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string got = server.Received(i);
        ASSERT_NE(got.find("\r\n\r\n"), std::string::npos) << "connection " << i << " of " << server.Connections() << ": " << got;
        EXPECT_NE(got.find("\r\nContent-Length: 10000\r\n"), std::string::npos);
        EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), body) << "connection " << i;
    }
}

TEST_F(HttpExchange, CredentialsStayWithTheirOriginWhateverTheFormOfTheLocation)
{
    // Another port of the same host is another origin, named with or without a host.
    const auto locations = [](const ScriptedPeer& other) {
        const std::string port = std::to_string(other.Port());
        return std::vector<std::string>{other.Url("/elsewhere"), ":" + port + "/elsewhere",
                                        "http://:" + port + "/elsewhere"};
    };
    for (std::size_t form = 0; form < 3; ++form) {
        ScriptedPeer origin, other;
        other.Connection().ReadRequest().Send(kOk);
        const std::string location = locations(other)[form];
        origin.Connection().ReadRequest().Send("HTTP/1.1 301 Moved\r\nLocation: " + location + "\r\n\r\n");
        THttpCli cli;
        cli.SetNoProgressTimeout(10s);
        cli.SetURL(origin.Url("/here"));
        cli.SetUsername("anna");
        cli.SetPassword("secret");
        cli.Get();
        ASSERT_TRUE(other.WaitForFinished(1, 5s)) << location;
        const std::string got = other.Received(0);
        EXPECT_NE(got.find("/elsewhere HTTP/1.0"), std::string::npos) << location << "\n" << got;
        EXPECT_EQ(got.find("Authorization"), std::string::npos) << location;
    }
}

TEST_F(HttpExchange, RelocationLoopEndsAtTheBound)
{
    server.Connection().ReadRequest().Send("HTTP/1.1 302 Found\r\nLocation: /again\r\n\r\n");
    server.RepeatLast(true);
    http.SetURL(server.Url("/again"));
    const EHttpException e = Raised([&] { http.Get(); });
    EXPECT_EQ(e.ErrorCode(), HttpError::TooManyRelocations);
    EXPECT_EQ(e.Message(), "HTTP too many relocations (more than 20)");
    EXPECT_EQ(server.Connections(), 21u);
}

TEST_F(HttpExchange, StaleLocationDoesNotRelocateTheNextRequest)
{
    server.Connection().ReadRequest().Send("HTTP/1.1 403 Forbidden\r\nLocation: /else\r\n\r\n");
    server.Connection().ReadRequest().Send(kOk);
    http.SetURL(server.Url("/a"));
    const EHttpException refused = Raised([&] { http.Get(); });
    EXPECT_EQ(refused.ErrorCode(), 403) << refused.Message();
    http.Get();
    EXPECT_EQ(reply.str(), "fine");
    EXPECT_EQ(RequestLine(server.Received(1)), "GET /a HTTP/1.0");
    EXPECT_EQ(server.Connections(), 2u);
}

TEST_F(HttpExchange, SilentServerEndsAtTheProgressBound)
{
    server.Connection().ReadRequest().Hold();
    http.SetURL(server.Url("/never"));
    http.SetNoProgressTimeout(300ms);
    HttpEventLog log;
    log.Attach(http, false);
    const EHttpException e = Raised([&] { http.Get(); });
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(e.Message(), "Connection timed out (Error #10060)");
    EXPECT_EQ(http.ReplyReason(), "Connection timed out (Error #10060)");
    ASSERT_TRUE(PumpUntil([&] { return log.requestDone; }));
    EXPECT_EQ(log.events.back(), "RequestDone hrGet 10060");
    // A server that trickles stays within the bound as long as bytes keep coming: 2.4 s of
    // pieces 100 ms apart under a 1 s bound (a gap ten times the usual still fits on a loaded machine).
    server.Connection().ReadRequest().SendInPieces(kOk, 25, 100ms);
    http.SetNoProgressTimeout(1s);
    http.Get();
    EXPECT_EQ(reply.str(), "fine");
}

TEST_F(HttpExchange, ChunkedReplyEndsAtItsLastChunkOnAConnectionKeptOpen)
{
    server.Connection().ReadRequest().Send(
        "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nfine\r\n0\r\n\r\n").Hold();
    http.SetURL(server.Url("/"));
    http.Get();  // would end only at the progress bound if the last chunk did not end it
    EXPECT_EQ(reply.str(), "fine");
    EXPECT_EQ(http.ReplyStatus(), 200);
}

// HTTP/1.1 with a kept connection: the second request goes out on the first one's connection; a
// server that resets it as the next request arrives (its idle limit) gets that request again, body
// and all, on a new connection, once, and the caller sees no failure; a connection idle past the
// limit is closed by the client.
TEST_F(HttpExchange, KeptConnectionCarriesTheNextRequestAndAServersResetIsRetriedOnce)
{
    server.Connection().ReadRequest().Send(kOk).ReadRequest().Send(ScriptedPeer::Response(200, "OK", "again"))
        .ReadRequest().Reset();
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "posted")).Hold();
    http.SetURL(server.Url("/k"));
    http.SetKeepAlive(300ms);
    http.Get();
    EXPECT_EQ(reply.str(), "fine");
    http.Get();
    EXPECT_EQ(reply.str(), "fineagain");
    std::istringstream body("the body");
    http.SetPostStream(&body);
    http.Post();
    EXPECT_EQ(reply.str(), "fineagainposted");
    EXPECT_EQ(server.Connections(), 2u);
    const std::string first = server.Received(0);
    EXPECT_EQ(RequestLine(first), "GET /k HTTP/1.1");
    EXPECT_NE(first.find("GET /k HTTP/1.1", 1), std::string::npos) << first;
    EXPECT_EQ(first.find("onnection: close"), std::string::npos) << first;
    EXPECT_EQ(RequestLine(server.Received(1)), "POST /k HTTP/1.1");
    EXPECT_EQ(server.Received(1).substr(server.Received(1).size() - 8), "the body");
    EXPECT_TRUE(http.HoldsConnection());
    EXPECT_TRUE(PumpUntil([&] { return !http.HoldsConnection(); })) << "the idle connection was never closed";
    EXPECT_TRUE(server.WaitForFinished(2, 10s));

#if !defined(_WIN32)  // wine reports a reset as an orderly close (FD_CLOSE with error 0)
    // Once bytes of the reply have come, a reset is the failure it always was: no second try. A
    // reset may take unread bytes with it, so the peer resets only once the client has read them.
    std::promise<void> partRead;
    server.Serve([&](Link& link) {
        link.ReadRequest();
        link.Write(kOk);
        link.ReadRequest();
        link.Write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\npart");
        partRead.get_future().wait_for(10s);
        link.Reset();
    });
    http.Get();
    http.OnDocData = [&, told = false](THttpCli&, const char*, std::int32_t) mutable {
        if (!std::exchange(told, true))
            partRead.set_value();
    };
    EXPECT_EQ(Raised([&] { http.Get(); }).ErrorCode(), 404);
    EXPECT_EQ(server.Connections(), 3u);
#endif
}

// A second reply written right behind the first, as a server ahead of itself or anyone who can
// inject into a plain connection would, is never the next request's answer: the connection it
// came on is closed, and the next request asks again on a new one.
TEST_F(HttpExchange, AReplyNobodyAskedForEndsTheKeptConnection)
{
    server.Connection().ReadRequest()
        .Send(kOk + "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged").ReadRequest()
        .Send(ScriptedPeer::Response(200, "OK", "taken"));
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "asked")).Hold();
    http.SetURL(server.Url("/k"));
    http.SetKeepAlive(10s);
    http.Get();
    EXPECT_EQ(reply.str(), "fine");
    http.Get();
    EXPECT_EQ(reply.str(), "fineasked");
    EXPECT_EQ(server.Connections(), 2u);
}

// A body the server's close cuts short of its length or of its last chunk is a failure, never an
// answer: the close of a plain connection may be anyone's.
TEST_F(HttpExchange, ABodyCutShortByTheCloseIsAFailure)
{
    server.Connection().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                           std::string(3000, 'x'));
    server.Connection().ReadRequest().Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nfine\r\n");
    server.Connection().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nby the close");
    http.SetURL(server.Url("/cut"));
    const EHttpException length = Raised([&] { http.Get(); });
    EXPECT_EQ(length.ErrorCode(), HttpError::CutShort);
    EXPECT_EQ(length.Message(), "the connection closed 97000 bytes before the end of the answer");
    const EHttpException chunks = Raised([&] { http.Get(); });
    EXPECT_EQ(chunks.ErrorCode(), HttpError::CutShort);
    EXPECT_EQ(chunks.Message(), "the connection closed before the last chunk of the answer");
    reply.str("");
    http.Get();  // plain HTTP has nothing but the close to mark this end
    EXPECT_EQ(reply.str(), "by the close");
}

TEST_F(HttpExchange, TricklingServerEndsAtTheWholeRequestBound)
{
    server.Connection().ReadRequest().SendInPieces(kOk + std::string(1000, 'x'), 1, 200ms);
    http.SetURL(server.Url("/slow"));
    http.SetRequestTimeout(1s);
    const EHttpException e = Raised([&] { http.Get(); });
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(e.Message(), "HTTP request took longer than 1 s");
    EXPECT_EQ(http.RequestDoneError(), 10060);
}

// Only CR LF pairs end lines; any other control byte sent would be an injection.
bool OnlyLineEndsAmongControls(const std::string& sent)
{
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto b = static_cast<unsigned char>(sent[i]);
        if (b == '\r' && i + 1 < sent.size() && sent[i + 1] == '\n')
            ++i;
        else if (b < 0x20 || b == 0x7f)
            return false;
    }
    return true;
}

TEST_F(HttpExchange, UnsafeTextsNeverReachTheWire)
{
    server.Connection().ReadRequest().Send("HTTP/1.0 302 Found\r\nLocation: /printers/b\rX-Inj: 1\r\n\r\n");
    server.Connection().ReadRequest().Send(kOk);
    http.SetURL(server.Url("/printers/a"));
    http.SetUsername("u");
    EXPECT_EQ(Raised([&] { http.Get(); }).ErrorCode(), HttpError::BadRelocation);
    http.SetURL(server.Url("/printers/b\r\nGET /x HTTP/1.0"));
    const EHttpException unsafe = Raised([&] { http.Get(); });
    EXPECT_EQ(unsafe.ErrorCode(), HttpError::UnsafeText);
    EXPECT_EQ(unsafe.Message(), "HTTP request refused: the URL holds a control character or space");
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_TRUE(OnlyLineEndsAmongControls(server.Received(0))) << server.Received(0);
}

TEST_F(HttpExchange, ServerThatMisbehavesMakesTheCallRaise)
{
    // Closes without a word.
    server.Connection().ReadRequest().Close();
    // A header line longer than the receive buffer.
    server.Connection().ReadRequest().Send("HTTP/1.1 200 OK\r\nX-Long: " + std::string(8192, 'x') + "\r\n\r\n");
    // Resets in the middle of the body.
    server.Connection().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial").Wait(100ms).Reset();
    http.SetURL(server.Url("/x"));

    const EHttpException silent = Raised([&] { http.Get(); });
    EXPECT_EQ(silent.ErrorCode(), HttpError::NoResponse);
    EXPECT_EQ(http.ReplyStatus(), 0);

    const EHttpException tooLong = Raised([&] { http.Get(); });
    EXPECT_EQ(tooLong.ErrorCode(), HttpError::LineTooLong);
    EXPECT_EQ(tooLong.Message(), "HTTP line too long");

#if !defined(_WIN32)  // wine reports a reset as an orderly close (FD_CLOSE with error 0)
    const EHttpException reset = Raised([&] { http.Get(); });
    EXPECT_EQ(reset.ErrorCode(), 404);
    EXPECT_EQ(reset.Message(), "Connection reset by peer (Error #10054)");
#endif
}

TEST_F(HttpExchange, LookupAndConnectFailuresGive404)
{
    HttpEventLog log;
    log.Attach(http, false);
    http.SetURL("http://127.0.0.1:" + std::to_string(RefusingPort()) + "/x");
    const EHttpException refused = Raised([&] { http.Get(); });
    EXPECT_EQ(refused.ErrorCode(), 404);
    EXPECT_EQ(refused.Message(), "Connection refused (Error #10061)");
    EXPECT_EQ(http.ReplyStatus(), 404);
    ASSERT_TRUE(PumpUntil([&] { return log.requestDone; }));
    EXPECT_EQ(log.events.back(), "RequestDone hrGet 10061");

    http.SetURL("http://quenlo-no-such-host.invalid/x");
    const EHttpException unknown = Raised([&] { http.Get(); });
    EXPECT_EQ(unknown.ErrorCode(), 404);
    EXPECT_EQ(unknown.Message(), "can't resolve hostname to IP address");

    // No host at all, and a port that is no number: both end cleanly instead of sticking.
    http.SetURL("");
    EXPECT_EQ(Raised([&] { http.Get(); }).Message(), "can't resolve hostname to IP address");
    http.SetURL("http://127.0.0.1:http-nope/x");
    const EHttpException badPort = Raised([&] { http.Get(); });
    EXPECT_EQ(badPort.ErrorCode(), 404);
    EXPECT_EQ(badPort.Message().rfind("can't connect: ", 0), 0u) << badPort.Message();
    EXPECT_EQ(http.State(), hsReady);
}

TEST_F(HttpExchange, HandlerMayDestroyTheComponentDuringTheWait)
{
    server.Connection().ReadRequest().Send(kOk);
    auto owned = std::make_unique<THttpCli>();
    owned->SetURL(server.Url("/x"));
    owned->OnHeaderBegin = [&](THttpCli&) { owned.reset(); };
    const EHttpException e = Raised([&] { owned->Get(); });
    EXPECT_EQ(e.ErrorCode(), HttpError::Aborted);
    EXPECT_EQ(owned, nullptr);
}

TEST_F(HttpExchange, QuitAskedDuringTheWaitEndsTheRequestAndStaysPending)
{
    server.Connection().ReadRequest().Hold();
    http.SetURL(server.Url("/x"));
    http.OnSessionConnected = [](THttpCli&) { platform::PostQuitMessage(3); };
    const EHttpException e = Raised([&] { http.Get(); });
    EXPECT_EQ(e.ErrorCode(), HttpError::Aborted);
    platform::MSG msg;
    bool quit = false;
    while (platform::PeekMessage(msg))
        quit = quit || msg.message == platform::WM_QUIT;
    EXPECT_TRUE(quit);
}

}  // namespace
}  // namespace quenlo::test
