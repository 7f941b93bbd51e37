// THttpCli composing a request: the request line and header in their order, the credentials for
// the server and the proxy, the POST body in blocks, and where a "location" sends it next.
#include "net/HttpProt.h"
#include "net/HttpTls.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <istream>

namespace quenlo {

namespace {

// The file name a browser would save the document under: the last path segment, no query.
std::string DocumentNameFromPath(const std::string& path)
{
    if (path.empty() || path == "/")
        return "document.htm";
    std::string name = path;
    if (name.back() == '/')
        name.pop_back();
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1, 255);
    const std::size_t query = name.find('?');
    if (query != std::string::npos)
        name.erase(query);
    return name;
}

}  // namespace

void THttpCli::PrepareRequest(THttpRequest rq)
{
    if (state_ != hsReady)
        throw EHttpException(HttpError::Busy);
    std::int64_t postStart = 0;
    if (rq == hrPost) {
        if (postStream_ == nullptr)
            throw EHttpException(HttpError::NothingToPost);
        postStream_->clear();
        postStart = static_cast<std::int64_t>(postStream_->tellg());
        if (postStart < 0)
            throw EHttpException(HttpError::NothingToPost);
    }

    replyHeaderLines_.clear();
    requestType_ = rq;
    requestDoneError_ = 0;
    SetPhase(TRequestPhase::Exchanging);
    SetState(hsNotConnected);

    documentFileName_.clear();
    replyStatus_ = 0;
    replyReason_.clear();
    replyContentType_.clear();
    replyBytesReceived_ = 0;
    postBytesSent_ = 0;
    headerLineCount_ = 0;
    bodyDataCount_ = 0;
    replyLength_ = -1;
    allowedToSend_ = false;
    currentUrl_ = opt_.url;
    // Nothing of an earlier request may leak into this one.
    locationChange_ = false;
    relocationCount_ = 0;
    if (kept_.state != TKeptState::Waiting)
        parser_.Reset();  // a kept connection's parser holds what followed the last reply
    if (kept_.state == TKeptState::InUse)
        kept_.state = TKeptState::None;
    postStart_ = postStart;
    holdSends_ = false;
    heldSends_.clear();
    offlineSent_.clear();
    retrying_ = false;
    credentialsPlain_ = false;

    ApplyUrl();
}

void THttpCli::ApplyUrl()
{
    const TUrlParts u = SplitUrl(opt_.url);
    const std::string scheme = platform::AsciiLower(u.Scheme);
    schemeTls_ = scheme == "https" || scheme == "ipps";
    targetHost_ = u.Host;
    docPort_ = !u.Port.empty() ? u.Port : scheme == "https" ? "443" : scheme == "ipps" ? "631" : "80";
    if (opt_.proxy.empty()) {
        path_ = u.Path;
        hostName_ = u.Host;
        port_ = docPort_;
    } else {
        path_ = (u.Scheme.empty() ? std::string("http") : u.Scheme) + "://" + u.Host +
                (u.Port.empty() ? std::string() : ":" + u.Port) + u.Path;
        const TUrlParts p = SplitUrl(opt_.proxy);
        hostName_ = p.Host;
        port_ = p.Port.empty() ? opt_.proxyPort : p.Port;
    }
    if (!u.User.empty())
        opt_.username = u.User;
    if (!u.Password.empty())
        opt_.password = u.Password;
    if (path_.empty())
        path_ = "/";
    documentFileName_ = DocumentNameFromPath(u.Path);
    origHost_ = platform::AsciiLower(targetHost_);
    origPort_ = docPort_;
    sendCredentials_ = true;
}

// What of this request could not go on the wire as it is, named for the user; empty when all is
// well. Everything composed into the request line and header is looked at once, before any
// connection is made; a server's relocation and range values are looked at as they arrive.
std::string THttpCli::UnsafeRequestText() const
{
    if (!WireSafe(path_, false) || !WireSafe(targetHost_, false) || !WireSafe(docPort_, false))
        return "the URL";
    if (!opt_.proxy.empty() && (!WireSafe(hostName_, false) || !WireSafe(port_, false)))
        return "the proxy";
    if (!WireSafe(opt_.username, true) || !WireSafe(opt_.password, true))
        return "the user name or password";
    if (!WireSafe(opt_.proxyUsername, true) || !WireSafe(opt_.proxyPassword, true))
        return "the proxy user name or password";
    if (!WireSafe(opt_.contentRangeBegin, false) || !WireSafe(opt_.contentRangeEnd, false))
        return "the range";
    for (const std::string* text : {&opt_.sender, &opt_.accept, &opt_.reference, &opt_.agent, &opt_.contentTypePost, &opt_.cookie})
        if (!WireSafe(*text, true))
            return "a header value";
    return {};
}

// Ends the request just prepared, before anything is looked up or sent, when it is unsafe.
bool THttpCli::RefuseUnsafeRequest()
{
    const std::string what = UnsafeRequestText();
    if (what.empty())
        return false;
    RecordFailure(HttpError::UnsafeText, 0, "HTTP request refused: " + what + " " + HttpError::UnsafeText.text);
    EndRequest(false);
    return true;
}

void THttpCli::QueueHeaderLine(const std::string& line)
{
    fire(OnCommand, *this, line);
    requestBuffer_ += line;
    requestBuffer_ += "\r\n";
}

void THttpCli::ComposeAndSend(const char* method)
{
    const bool post = std::strcmp(method, "POST") == 0;
    std::int64_t contentLength = 0;
    if (post) {
        // Always send from where the stream stood at request start, so a relocated POST carries
        // the same bytes as the first, and the length is what will really be sent.
        postStream_->clear();
        postStream_->seekg(0, std::ios::end);
        const std::int64_t end = static_cast<std::int64_t>(postStream_->tellg());
        postStream_->seekg(postStart_);
        contentLength = std::max<std::int64_t>(0, end - postStart_);
    }

    const TLivenessToken alive = LivenessToken();
    requestBuffer_.clear();
    TriggerRequestHeaderBegin();
    if (alive.expired())
        return;
    // Inside a proxy's tunnel the server itself is spoken to: the path alone, as without a proxy.
    const bool absolute = chain_.Transport().tunnel && !path_.starts_with('/');
    QueueHeaderLine(std::string(method) + " " + (absolute ? SplitUrl(path_).Target() : path_) +
                    (KeepsConnections() ? " HTTP/1.1" : " HTTP/1.0"));
    if (!opt_.sender.empty())
        QueueHeaderLine("From: " + opt_.sender);
    if (!opt_.accept.empty())
        QueueHeaderLine("Accept: " + opt_.accept);
    if (!opt_.reference.empty())
        QueueHeaderLine("Referer: " + opt_.reference);
    if (post && !opt_.contentTypePost.empty())
        QueueHeaderLine("Content-Type: " + opt_.contentTypePost);
    if (!opt_.agent.empty())
        QueueHeaderLine("User-Agent: " + opt_.agent);
    QueueHeaderLine("Host: " + targetHost_);
    if (opt_.noCache)
        QueueHeaderLine("Pragma: no-cache");
    if (post)
        QueueHeaderLine("Content-Length: " + std::to_string(contentLength));
    if (opt_.modifiedSince != 0) {
        const std::string date = HttpDateText(opt_.modifiedSince);
        if (!date.empty())
            QueueHeaderLine("If-Modified-Since: " + date + " GMT");
    }
    if (!opt_.username.empty() && sendCredentials_)
        QueueHeaderLine("Authorization: Basic " + Base64Encode(opt_.username + ":" + opt_.password));
    if (!opt_.proxy.empty() && !opt_.proxyUsername.empty() && !chain_.Transport().tunnel)
        QueueHeaderLine("Proxy-Authorization: Basic " +
                        Base64Encode(opt_.proxyUsername + ":" + opt_.proxyPassword));
    if (!opt_.cookie.empty())
        QueueHeaderLine("Cookie: " + opt_.cookie);
    if (!opt_.contentRangeBegin.empty() || !opt_.contentRangeEnd.empty()) {
        QueueHeaderLine("Range: bytes=" + opt_.contentRangeBegin + "-" + opt_.contentRangeEnd);
        opt_.contentRangeBegin.clear();
        opt_.contentRangeEnd.clear();
    }
    if (alive.expired())
        return;
    TriggerRequestHeaderEnd();
    if (alive.expired())
        return;
    QueueHeaderLine("");
    if (alive.expired())
        return;
    std::string request;
    request.swap(requestBuffer_);
    SocketSend(request.data(), request.size());
}

void THttpCli::SendBodyBlock()
{
    if (!allowedToSend_)
        return;
    postStream_->read(sendBlock_.data(), static_cast<std::streamsize>(sendBlock_.size()));
    const std::streamsize n = postStream_->gcount();
    const TLivenessToken alive = LivenessToken();
    if (n > 0) {
        postBytesSent_ += n;
        TriggerSendData(sendBlock_.data(), static_cast<std::int32_t>(n));
        if (alive.expired() || Over())
            return;
        SocketSend(sendBlock_.data(), static_cast<std::size_t>(n));
    } else {
        allowedToSend_ = false;
        TriggerSendEnd();
    }
}

void THttpCli::SocketSend(const char* data, std::size_t len)
{
    if (holdSends_) {
        heldSends_.append(data, len);
        return;
    }
    chain_.Top().Send(data, len);
}

void THttpCli::FlushHeldSends()
{
    holdSends_ = false;
    std::string bytes;
    bytes.swap(heldSends_);
    if (!bytes.empty())
        SocketSend(bytes.data(), bytes.size());
}

// Works out where a "location" value sends the request next. Returns false for a value that
// names nothing (empty), which is ignored.
bool THttpCli::Relocate(const std::string& location)
{
    if (location.empty())
        return false;
    const TUrlParts v = SplitUrl(location);
    const std::string scheme = v.Scheme.empty() ? std::string("http") : v.Scheme;
    const bool isPath = location[0] == '/';
    const bool hasScheme = location.find("://") != std::string::npos;
    const bool bareName = !isPath && !hasScheme && v.Scheme.empty() && v.Path.empty() &&
                          v.Port.empty() && v.User.empty() && v.Password.empty() && !v.Host.empty();
    const std::string docAuthority =
        targetHost_ + (docPort_ == "80" ? std::string() : ":" + docPort_);

    if (!opt_.proxy.empty()) {
        // The proxy stays; only the absolute request URI changes.
        if (isPath || v.Host.empty()) {
            if (!isPath && !v.Port.empty())
                docPort_ = v.Port;
            const std::string authority =
                targetHost_ + (docPort_ == "80" ? std::string() : ":" + docPort_);
            path_ = scheme + "://" + authority + (v.Path.empty() ? std::string("/") : v.Path);
        } else if (bareName) {
            path_ = scheme + "://" + docAuthority + "/" + v.Host;
        } else {
            targetHost_ = v.Host;
            docPort_ = v.Port.empty() ? "80" : v.Port;
            path_ = scheme + "://" + v.Host + (v.Port.empty() ? std::string() : ":" + v.Port) +
                    (v.Path.empty() ? std::string("/") : v.Path);
        }
    } else if (isPath) {
        path_ = location;
    } else if (bareName) {
        hostName_ = targetHost_;
        path_ = scheme + "://" + targetHost_ + "/" + v.Host;
    } else if (v.Host.empty()) {
        hostName_ = targetHost_;
        path_ = scheme + "://" + targetHost_ + v.Path;
        if (!v.Port.empty())
            port_ = docPort_ = v.Port;  // the same host on another port is another origin
    } else {
        // Another server: connect there, name it in "Host: " and ask for its path. A URL with a
        // scheme and no port means the scheme's default port, not the old server's port.
        hostName_ = v.Host;
        targetHost_ = v.Host;
        if (!v.Port.empty())
            port_ = v.Port;
        else if (hasScheme)
            port_ = "80";
        docPort_ = port_;
        path_ = v.Path.empty() ? std::string("/") : v.Path;
    }
    if (path_.empty())
        path_ = "/";
    currentUrl_ = path_;
    // Credentials belong to the server they were configured for.
    if (platform::AsciiLower(targetHost_) != origHost_ || docPort_ != origPort_)
        sendCredentials_ = false;
    return true;
}

}  // namespace quenlo
