// The receiving half of THttpCli, driven offline: response bytes are handed to the component in
// reads of every size, and the events, properties and body must not depend on the split.
#include "net/HttpProt.h"
#include "http_events.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace quenlo::test {
namespace {

struct Outcome {
    std::string log;
    std::string body;        // what reached ReplyStream
    std::int32_t status = 0;
    std::string reason;
    std::int64_t length = -2;
    std::string contentType;
    std::vector<std::string> headerLines;
    std::vector<std::string> authRequests;
    std::string rangeBegin, rangeEnd;
    std::string documentFileName;
    std::uint16_t doneError = 0;
};

// Runs one offline GET of `url`, feeding `response` in reads of `chunk` bytes (0: all at once),
// then the server's close with `closeError`.
Outcome RunOffline(const std::string& response, std::size_t chunk, const std::string& url = "http://h/doc",
                   std::uint16_t closeError = 0, const std::function<void(THttpCli&)>& setup = {})
{
    THttpCli http;
    HttpEventLog log;
    log.Attach(http, /*withStates=*/false);
    std::stringstream reply;
    http.SetURL(url);
    http.SetReplyStream(&reply);
    if (setup)
        setup(http);
    http.StartOffline(hrGet);
    const std::size_t step = chunk == 0 ? response.size() : chunk;
    for (std::size_t at = 0; at < response.size(); at += step)
        http.FeedReceived(response.data() + at, std::min(step, response.size() - at));
    http.FeedClosed(closeError);
    EXPECT_TRUE(PumpUntil([&] { return log.requestDone; })) << "request never ended";
    Outcome o;
    o.log = log.Text();
    o.body = reply.str();
    o.status = http.ReplyStatus();
    o.reason = http.ReplyReason();
    o.length = http.ReplyLength();
    o.contentType = http.ReplyContentType();
    o.headerLines = http.ReplyHeaderLines();
    o.authRequests = http.AuthRequests();
    o.rangeBegin = http.ContentRangeBegin();
    o.rangeEnd = http.ContentRangeEnd();
    o.documentFileName = http.DocumentFileName();
    o.doneError = http.RequestDoneError();
    return o;
}

const char* const kRequestLog =
    "SessionConnected\n"
    "RequestHeaderBegin\n"
    "Command GET /doc HTTP/1.0\n"
    "Command Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\n"
    "Command User-Agent: Mozilla/3.0 (compatible)\n"
    "Command Host: h\n"
    "RequestHeaderEnd\n"
    "Command \n";

// Every split of `response` into reads of equal size gives the same outcome as one read.
void ExpectSplitIndependent(const std::string& response, const Outcome& whole)
{
    for (std::size_t chunk = 1; chunk < response.size(); ++chunk) {
        const Outcome o = RunOffline(response, chunk);
        ASSERT_EQ(o.log, whole.log) << "reads of " << chunk;
        ASSERT_EQ(o.body, whole.body) << "reads of " << chunk;
        ASSERT_EQ(o.status, whole.status) << "reads of " << chunk;
        ASSERT_EQ(o.headerLines, whole.headerLines) << "reads of " << chunk;
    }
}

TEST(HttpResponse, StatusHeaderAndBodyInAnySplit)
{
    const std::string response =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: Text/HTML; charset=X\r\n"
        "Content-Length: 12\r\n"
        "\r\n"
        "hello\r\nworld";
    const Outcome o = RunOffline(response, 0);
    EXPECT_EQ(o.log, std::string(kRequestLog) +
                         "HeaderBegin\n"
                         "HeaderData HTTP/1.1 200 OK\n"
                         "HeaderData Content-Type: Text/HTML; charset=X\n"
                         "HeaderData Content-Length: 12\n"
                         "HeaderEnd\n"
                         "DocBegin\n"
                         "DocData\n"
                         "DocEnd\n"
                         "RequestDone hrGet 0\n");
    EXPECT_EQ(o.body, "hello\r\nworld");
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.reason, "OK");
    EXPECT_EQ(o.length, 12);
    EXPECT_EQ(o.contentType, "text/html; charset=x");
    EXPECT_EQ(o.headerLines.size(), 3u);
    ExpectSplitIndependent(response, o);
}

TEST(HttpResponse, BareLineFeedsEndLinesToo)
{
    const std::string response = "HTTP/1.0 200 Fine\nServer: x\n\nbody\n";
    const Outcome o = RunOffline(response, 0);
    EXPECT_EQ(o.reason, "Fine");
    EXPECT_EQ(o.headerLines, (std::vector<std::string>{"HTTP/1.0 200 Fine", "Server: x"}));
    EXPECT_EQ(o.body, "body\n");
    ExpectSplitIndependent(response, o);
}

TEST(HttpResponse, BodyBytesInTheHeadersReadComeFirstAndIntact)
{
    // Binary body, zero bytes and stray line ends included, in the same read as the empty line.
    const std::string body("\x01\x01\x00\x00\r\n\n\x00\xff", 9);
    const Outcome o = RunOffline("HTTP/1.1 200 OK\r\n\r\n" + body, 0);
    EXPECT_EQ(o.body, body);
    const Outcome split = RunOffline("HTTP/1.1 200 OK\r\n\r\n" + body, 7);
    EXPECT_EQ(split.body, body);
}

TEST(HttpResponse, HtmlWithoutAHeaderIsAllBody)
{
    const std::string response = "<html><body>\r\nline two\r\nline three";
    const Outcome o = RunOffline(response, 0, "http://h/setup.exe");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.contentType, "text/html");
    // The first line loses its line end; everything after it arrives exactly as sent.
    EXPECT_EQ(o.body, "<html><body>line two\r\nline three");
    EXPECT_TRUE(o.headerLines.empty());
    EXPECT_EQ(o.doneError, 0);
    EXPECT_EQ(o.documentFileName, "setup.exe");
    const Outcome split = RunOffline(response, 5, "http://h/setup.exe");
    EXPECT_EQ(split.body, o.body);
}

TEST(HttpResponse, HeaderFieldsFillTheProperties)
{
    const Outcome o = RunOffline(
        "HTTP/1.1 206 Partial\r\n"
        "content-length:12\r\n"
        "Content-Range: bytes 100-199/1000\r\n"
        "WWW-Authenticate: Basic realm=\"a\"\r\n"
        "www-authenticate: Digest realm=\"b\"\r\n"
        "no colon here\r\n"
        "\r\n", 0, "http://h/a/b.exe?x=1");
    EXPECT_EQ(o.length, 2);  // one character after the colon is always skipped
    EXPECT_EQ(o.rangeBegin, "100");
    EXPECT_EQ(o.rangeEnd, "199");
    EXPECT_EQ(o.authRequests, (std::vector<std::string>{"Basic realm=\"a\"", "Digest realm=\"b\""}));
    EXPECT_EQ(o.headerLines.back(), "no colon here");
    EXPECT_EQ(o.documentFileName, "b.exe");
    EXPECT_EQ(o.doneError, HttpError::CutShort);  // its two body bytes never came
}

TEST(HttpResponse, CookieFiresOnceBeforeItsHeaderData)
{
    const Outcome o = RunOffline("HTTP/1.1 200 OK\r\nSet-Cookie: id=7; path=/\r\n\r\n", 0);
    EXPECT_NE(o.log.find("Cookie id=7; path=/ (accept)\nHeaderData Set-Cookie: id=7; path=/\n"),
              std::string::npos)
        << o.log;
}

TEST(HttpResponse, ExeDocumentBecomesHtmWhenTheReplyIsHtml)
{
    const Outcome o = RunOffline("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nx", 0, "http://h/get/setup.EXE");
    EXPECT_EQ(o.documentFileName, "setup.htm");
}

TEST(HttpResponse, ErrorStatusKeepsOnlyTheBodyOfTheSameRead)
{
    const std::string response = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!";
    const Outcome o = RunOffline(response, 0);
    EXPECT_EQ(o.status, 404);
    EXPECT_EQ(o.reason, "Not Found");
    EXPECT_EQ(o.body, "not here!");
    // The client closes after the read that brought the status: later reads are not taken.
    const Outcome split = RunOffline(response, 20);
    EXPECT_EQ(split.status, 404);
    EXPECT_EQ(split.body, "");
    EXPECT_EQ(split.headerLines, (std::vector<std::string>{"HTTP/1.1 404 Not Found"}));
}

TEST(HttpResponse, ProtocolFailuresEndTheRequestWithTheirCode)
{
    // A header line that does not fit the receive buffer.
    const Outcome tooLong = RunOffline("HTTP/1.1 200 OK\r\nX-Big: " + std::string(8192, 'a') + "\r\n\r\nbody", 0);
    EXPECT_EQ(tooLong.doneError, HttpError::LineTooLong);
    EXPECT_EQ(tooLong.reason, "HTTP line too long");
    EXPECT_EQ(tooLong.status, 200);
    EXPECT_EQ(tooLong.body, "");
    // A line of 8190 bytes plus CR LF still fits.
    const Outcome fits = RunOffline("HTTP/1.1 200 OK\r\nX: " + std::string(8187, 'a') + "\r\n\r\nbody", 0);
    EXPECT_EQ(fits.doneError, 0);
    EXPECT_EQ(fits.body, "body");

    // A header of 1000 lines, the status line counted, is read; one line more ends the request.
    std::string fields;
    for (int i = 0; i < 998; ++i)
        fields += "X-Note: a\r\n";
    const Outcome mostLines = RunOffline("HTTP/1.1 200 OK\r\n" + fields + "X-Last: b\r\n\r\nbody", 0);
    EXPECT_EQ(mostLines.doneError, 0);
    EXPECT_EQ(mostLines.headerLines.size(), 1000u);
    const Outcome tooMany = RunOffline("HTTP/1.1 200 OK\r\n" + fields + "X-Last: b\r\nX-More: c\r\n\r\nbody", 0);
    EXPECT_EQ(tooMany.doneError, HttpError::BadHeader);
    EXPECT_EQ(tooMany.reason, "HTTP bad header: more than 1000 lines");

    const Outcome badStatus = RunOffline("HTTP/1.1 2x0 OK\r\n\r\nbody", 0);
    EXPECT_EQ(badStatus.doneError, HttpError::BadStatusLine);
    EXPECT_EQ(badStatus.body, "");
    const Outcome shortStatus = RunOffline("HTTP/1.0\r\n\r\n", 0);
    EXPECT_EQ(shortStatus.doneError, HttpError::BadStatusLine);

    // A reply past the bound ends the request, whether it announces its size or not.
    const auto bound = [](THttpCli& h) { h.SetMaxReplyLength(10); };
    const Outcome unannounced = RunOffline("HTTP/1.1 200 OK\r\n\r\n" + std::string(25, 'z'), 5, "http://h/doc", 0, bound);
    EXPECT_EQ(unannounced.doneError, HttpError::ReplyTooLarge);
    EXPECT_EQ(unannounced.reason, "HTTP reply larger than 10 bytes");
    EXPECT_LE(unannounced.body.size(), 10u);
    const Outcome announced = RunOffline("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nz", 0, "http://h/doc", 0, bound);
    EXPECT_EQ(announced.doneError, HttpError::ReplyTooLarge);
    EXPECT_EQ(announced.body, "");
    const Outcome atTheBound = RunOffline("HTTP/1.1 200 OK\r\n\r\n" + std::string(10, 'z'), 0, "http://h/doc", 0, bound);
    EXPECT_EQ(atTheBound.doneError, 0);

    // An unreadable length is not a failure: the body still runs to the close.
    const Outcome badLength = RunOffline("HTTP/1.1 200 OK\r\nContent-Length: lots\r\n\r\nabc", 0);
    EXPECT_EQ(badLength.doneError, 0);
    EXPECT_EQ(badLength.length, -1);
    EXPECT_EQ(badLength.body, "abc");
}

// Servers answer an HTTP/1.0 request in chunks too, and keep the connection open after them.
TEST(HttpResponse, ChunkedBodyEndsAtItsLastChunkInAnySplit)
{
    const std::string response =
        "HTTP/1.0 200 OK\r\n"
        "Transfer-Encoding: chunked\r\n"
        "Content-Length: 3\r\n"
        "\r\n"
        "5;name=\"v\"\r\nhello\r\n"
        "7 \r\n, world\r\n"
        "A\nfrom a b\r\n\n"
        "0\r\nX-Trailer: 1\r\n\r\n"
        "HTTP/1.1 200 not part of it";
    const Outcome o = RunOffline(response, 0);
    EXPECT_EQ(o.doneError, 0);
    EXPECT_EQ(o.body, "hello, worldfrom a b\r\n");
    EXPECT_EQ(o.length, -1);
    ExpectSplitIndependent(response, o);

    // Framing that cannot be read ends the request, with what came before it delivered.
    for (const char* bad : {"zz\r\n", "\r\n", ";x\r\n", "-1\r\n", "1000000000000000\r\n", "3\r\nabcX\r\n",
                            "3\r\nabc\r\r\n"}) {
        SCOPED_TRACE(bad);
        const Outcome b = RunOffline(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + bad, 1);
        EXPECT_EQ(b.doneError, HttpError::BadChunk);
        EXPECT_EQ(b.reason, "HTTP bad chunk in a chunked reply");
        EXPECT_EQ(b.body.find_first_not_of("abc"), std::string::npos) << b.body;
    }
}

TEST(HttpResponse, FramingIsStrict)
{
    for (const char* status : {"HTTP/1.0 -20 OK", "HTTP/1.1 2000 OK", "HTTP/1.1 20 OK", "HTTP/1.1 +20 OK"}) {
        const Outcome o = RunOffline(std::string(status) + "\r\n\r\nbody", 0);
        EXPECT_EQ(o.doneError, HttpError::BadStatusLine) << status;
        EXPECT_EQ(o.body, "") << status;
    }
    const Outcome twoLengths = RunOffline("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 3\r\n\r\nabcde", 0);
    EXPECT_EQ(twoLengths.doneError, HttpError::ConflictingLength);
    EXPECT_EQ(twoLengths.body, "");
    const Outcome sameLength = RunOffline("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabcde", 0);
    EXPECT_EQ(sameLength.doneError, 0);
    EXPECT_EQ(sameLength.body, "abc");

    // Interim answers say only that the answer is coming.
    const std::string interim =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
    const Outcome o = RunOffline(interim, 0);
    EXPECT_EQ(o.doneError, 0);
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.reason, "OK");
    EXPECT_EQ(o.body, "body");
    ExpectSplitIndependent(interim, o);
}

TEST(HttpResponse, NothingReceivedIsAFailure)
{
    const Outcome silent = RunOffline("", 0);
    EXPECT_EQ(silent.doneError, HttpError::NoResponse);
    EXPECT_EQ(silent.status, 0);
    // Bytes that never form a line are no status line, and the text says so.
    const Outcome partial = RunOffline("HTTP/1.1 200 O", 0);
    EXPECT_EQ(partial.doneError, HttpError::BadStatusLine);
    EXPECT_EQ(partial.reason, "HTTP server closed the connection without a status line (14 bytes received)");
    // A header cut short is an answer: it ends normally with what came.
    const Outcome cut = RunOffline("HTTP/1.1 200 OK\r\nServer: x\r\n", 0);
    EXPECT_EQ(cut.doneError, 0);
    EXPECT_EQ(cut.status, 200);
}

TEST(HttpResponse, ResetCutsTheBodyUnlessItsLengthArrived)
{
    const Outcome cut = RunOffline("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc", 0, "http://h/doc", 10054);
    EXPECT_EQ(cut.doneError, 10054);
    EXPECT_EQ(cut.status, 404);
    EXPECT_EQ(cut.reason, "Connection reset by peer (Error #10054)");
    const Outcome whole = RunOffline("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 0, "http://h/doc", 10054);
    EXPECT_EQ(whole.doneError, 0);
    EXPECT_EQ(whole.status, 200);
}

TEST(HttpResponse, ReplyStreamThatFailsEndsTheRequest)
{
    THttpCli http;
    HttpEventLog log;
    log.Attach(http, false);
    std::stringstream broken;
    broken.setstate(std::ios::badbit);
    http.SetURL("http://h/");
    http.SetReplyStream(&broken);
    http.StartOffline(hrGet);
    const std::string response = "HTTP/1.1 200 OK\r\n\r\nabc";
    http.FeedReceived(response.data(), response.size());
    http.FeedClosed();
    ASSERT_TRUE(PumpUntil([&] { return log.requestDone; }));
    EXPECT_EQ(http.RequestDoneError(), HttpError::ReplyStreamFailed);
}

// A kept connection carries the next request only after a reply that ended cleanly: bytes
// already behind it (a second reply in the same read, injected or sent ahead), a reply framed
// both by a length and by chunks, or "connection: close" leave it closed, and the next request's
// answer is only what comes on a new connection.
TEST(HttpResponse, AKeptConnectionNeverHandsOnAReplyNobodyAskedFor)
{
    struct Case {
        std::string wire;
        bool kept;
    };
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\none\r\n0\r\n\r\n";
    for (const Case& c : {Case{chunked, true},
                          Case{chunked + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nother", false},
                          Case{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "3\r\none\r\n0\r\n\r\n", false},
                          Case{"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 3\r\n\r\none", false}}) {
        SCOPED_TRACE(c.wire);
        THttpCli http;
        std::stringstream reply;
        http.SetURL("http://h/doc");
        http.SetReplyStream(&reply);
        http.SetKeepAlive(std::chrono::seconds(10));
        http.StartOffline(hrGet);
        EXPECT_EQ(http.OfflineSent().substr(0, 19), "GET /doc HTTP/1.1\r\n");
        http.FeedReceived(c.wire.data(), c.wire.size());
        ASSERT_TRUE(PumpUntil([&] { return http.State() == hsReady; }));
        EXPECT_EQ(http.RequestDoneError(), 0) << http.ReplyReason();
        EXPECT_EQ(reply.str(), "one");
        EXPECT_EQ(http.HoldsConnection(), c.kept);
        if (c.kept)
            continue;
        reply.str("");
        http.StartOffline(hrGet);
        const std::string fresh = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh";
        http.FeedReceived(fresh.data(), fresh.size());
        ASSERT_TRUE(PumpUntil([&] { return http.State() == hsReady; }));
        EXPECT_EQ(reply.str(), "fresh");
    }
}

// A kept connection that the server resets before any byte of the next reply is tried once more
// on a new one; once part of a status line has come, the server has taken the request, and a POST
// (an IPP operation) must not go out a second time: the reset is the failure.
TEST(HttpResponse, AResetAfterPartOfTheNextReplyNeverSendsThePostAgain)
{
    THttpCli http;
    std::stringstream reply;
    int requestsComposed = 0;
    http.OnRequestHeaderBegin = [&](THttpCli&) { ++requestsComposed; };
    http.SetURL("http://h/printers/p");
    http.SetReplyStream(&reply);
    http.SetKeepAlive(std::chrono::seconds(10));
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    http.StartOffline(hrGet);
    http.FeedReceived(ok.data(), ok.size());
    ASSERT_TRUE(PumpUntil([&] { return http.State() == hsReady; }));
    ASSERT_TRUE(http.HoldsConnection());

    std::istringstream body("operation");
    http.SetPostStream(&body);
    http.StartOffline(hrPost);
    const std::string part = "HTTP/1.1 2";
    http.FeedReceived(part.data(), part.size());
    http.FeedClosed(10054);
    ASSERT_TRUE(PumpUntil([&] { return http.State() == hsReady; }));
    EXPECT_EQ(http.RequestDoneError(), 10054);
    EXPECT_EQ(requestsComposed, 2) << "the POST went out again";
}

// ---- Relocation, offline: each "connection" is a new StartOffline-like round --------------------

struct Relocating {
    THttpCli http;
    HttpEventLog log;
    std::stringstream reply;

    explicit Relocating(const std::string& url)
    {
        log.Attach(http, false);
        http.SetURL(url);
        http.SetReplyStream(&reply);
        http.StartOffline(hrGet);
    }
    // Answers the current round with `response` and lets the component move on.
    void Answer(const std::string& response)
    {
        http.FeedReceived(response.data(), response.size());
        http.FeedClosed();
        platform::ProcessPendingMessages();
    }
};

TEST(HttpResponse, RelocationToAPathRepeatsTheRequestThere)
{
    Relocating r("http://h:631/old");
    r.Answer("HTTP/1.1 302 Found\r\nLocation: /new\r\n\r\nignored");
    EXPECT_EQ(r.http.CurrentUrl(), "/new");
    EXPECT_NE(r.http.OfflineSent().find("GET /new HTTP/1.0\r\n"), std::string::npos);
    r.Answer("HTTP/1.1 200 OK\r\n\r\nthere");
    ASSERT_TRUE(PumpUntil([&] { return r.log.requestDone; }));
    EXPECT_EQ(r.reply.str(), "there");
    EXPECT_EQ(r.http.ReplyStatus(), 200);
    EXPECT_EQ(r.http.ReplyHeaderLines(),
              (std::vector<std::string>{"HTTP/1.1 302 Found", "Location: /new", "HTTP/1.1 200 OK"}));
    const std::string log = r.log.Text();
    EXPECT_NE(log.find("HeaderData Location: /new\nHeaderEnd\nLocationChange /new\nSessionConnected\n"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("DocBegin"), log.rfind("DocBegin"));  // the 302's body is never delivered
}

TEST(HttpResponse, RelocationsStopAtTheBound)
{
    Relocating r("http://h/loop");
    for (int i = 0; i <= THttpCli::kMaxRelocations && !r.log.requestDone; ++i)
        r.Answer("HTTP/1.1 302 Found\r\nLocation: /loop\r\n\r\n");
    ASSERT_TRUE(PumpUntil([&] { return r.log.requestDone; }));
    EXPECT_EQ(r.http.RequestDoneError(), HttpError::TooManyRelocations);
    EXPECT_EQ(r.http.ReplyReason(), "HTTP too many relocations (more than 20)");
    std::size_t changes = 0;
    for (const auto& e : r.log.events)
        changes += e.rfind("LocationChange", 0) == 0;
    EXPECT_EQ(changes, 20u);
}

TEST(HttpResponse, RelocationTargetsAndCredentials)
{
    struct Case {
        const char* url;
        const char* proxy;
        const char* location;
        const char* requestLine;
        const char* hostLine;
        bool credentials;
    };
    const Case cases[] = {
        {"http://h:631/a", "", "/b?x=1", "GET /b?x=1 HTTP/1.0", "Host: h", true},
        {"http://h:631/a", "", "other:8080/c", "GET /c HTTP/1.0", "Host: other", false},
        {"http://h:631/a", "", "http://other/c", "GET /c HTTP/1.0", "Host: other", false},
        {"http://h:631/a", "", "http://h:631/c", "GET /c HTTP/1.0", "Host: h", true},
        {"http://h/a", "", "page.html", "GET http://h/page.html HTTP/1.0", "Host: h", true},
        {"http://h/a", "", "http:/d", "GET http://h/d HTTP/1.0", "Host: h", true},
        {"http://h:631/a", "proxy:3128", "/b", "GET http://h:631/b HTTP/1.0", "Host: h", true},
        {"http://h/a", "proxy", "page.html", "GET http://h/page.html HTTP/1.0", "Host: h", true},
        {"http://h/a", "proxy", "http://other:81/x", "GET http://other:81/x HTTP/1.0", "Host: other", false},
    };
    for (const Case& c : cases) {
        Relocating r(c.url);
        r.http.SetProxy(c.proxy);
        r.http.SetUsername("u");
        r.http.SetPassword("p");
        // The settings above apply from the next composition, which is the relocated one.
        r.Answer(std::string("HTTP/1.1 301 Moved\r\nLocation: ") + c.location + "\r\n\r\n");
        const std::string sent = r.http.OfflineSent();
        SCOPED_TRACE(c.location);
        EXPECT_EQ(sent.substr(0, sent.find("\r\n")), c.requestLine);
        EXPECT_NE(sent.find(std::string("\r\n") + c.hostLine + "\r\n"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("Authorization: Basic dTpw") != std::string::npos, c.credentials) << sent;
    }
}

TEST(HttpResponse, NothingUncheckedReachesTheNextRequest)
{
    struct Case {
        const char* header;
        std::uint16_t error;
    };
    const Case cases[] = {
        {"Location: /printers/b\rX-Inj: 1", HttpError::BadRelocation},
        {"Location: /printers/b c", HttpError::BadRelocation},
        {"Location: file://127.0.0.1/etc/passwd", HttpError::BadRelocation},
        {"Location: file:/etc/passwd", HttpError::BadRelocation},
        {"Location: mailto:root@h", HttpError::BadRelocation},
        {"Content-Range: bytes 1\rX: 1-2/3", HttpError::UnsafeText},
        {"Content-Range: bytes 1-2\x7f/3", HttpError::UnsafeText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        Relocating r("http://u:p@h/a");
        r.Answer(std::string("HTTP/1.1 302 Found\r\n") + c.header + "\r\n\r\n");
        ASSERT_TRUE(PumpUntil([&] { return r.log.requestDone; }));
        EXPECT_EQ(r.http.RequestDoneError(), c.error);
        EXPECT_NE(r.http.ReplyReason().find("HTTP "), std::string::npos);
        EXPECT_EQ(r.http.OfflineSent().rfind("GET /a HTTP/1.0\r\n", 0), 0u);  // nothing after the first request
        EXPECT_EQ(r.http.ContentRangeBegin(), "");
    }
    // An error status is the answer: its location, sound or not, is not followed.
    Relocating refused("http://h/a");
    refused.Answer("HTTP/1.1 404 Not Found\r\nLocation: /x\ry\r\n\r\n");
    ASSERT_TRUE(PumpUntil([&] { return refused.log.requestDone; }));
    EXPECT_EQ(refused.http.ReplyStatus(), 404);

    // Whatever the caller sets: nothing is sent, not even a connection made.
    const std::function<void(THttpCli&)> settings[] = {
        [](THttpCli& h) { h.SetURL("http://h/printers/b\r\nX-Inj: 1"); },
        [](THttpCli& h) { h.SetURL("http://h/printers/b c"); },
        [](THttpCli& h) { h.SetURL("http://h\r:631/a"); },
        [](THttpCli& h) { h.SetUsername("u\n"); },
        [](THttpCli& h) { h.SetProxy("proxy\t:3128"); },
        [](THttpCli& h) { h.SetContentRangeBegin("1\r\n"); },
    };
    for (const auto& set : settings) {
        THttpCli http;
        HttpEventLog log;
        log.Attach(http, false);
        http.SetURL("http://h/a");
        set(http);
        http.StartOffline(hrGet);
        ASSERT_TRUE(PumpUntil([&] { return log.requestDone; }));
        EXPECT_EQ(http.RequestDoneError(), HttpError::UnsafeText) << http.ReplyReason();
        EXPECT_EQ(http.OfflineSent(), "");
        EXPECT_EQ(log.Text().find("SessionConnected"), std::string::npos);
    }
}

}  // namespace
}  // namespace quenlo::test
