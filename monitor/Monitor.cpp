#include "monitor/Monitor.h"

#include "ipp/Ipp.h"
#include "monitor/MonitorTexts.h"
#include "monitor/Passwords.h"
#include "monitor/RefreshText.h"
#include "monitor/ReplyStreams.h"
#include "platform/Credentials.h"
#include "platform/Text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <sstream>
#include <utility>

namespace quenlo {

namespace {

using namespace texts;

constexpr std::int32_t kPrinterStateStopped = 5;  // "printer-state" stopped

// An answer of this many bytes or fewer carries no IPP header worth reading.
constexpr std::size_t kShortAnswer = 10;

// The IPP status-code in upper-case hex with at least four digits; a code of 0x8000 or more is
// negative as a signed 16-bit number and so comes out as the eight digits of its 32-bit form.
std::string StatusCodeHex(std::int16_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(static_cast<std::int32_t>(code)));
    return text;
}

// A key of the printers file, its value, and whether a space may stand in it on the wire (credentials
// go out encoded; hosts, ports and paths are cut at spaces).
struct KeyedValue {
    const char* key;
    const std::string& value;
    bool spaceAllowed;
};

const char* FirstUnsendableKey(std::initializer_list<KeyedValue> values)
{
    for (const KeyedValue& v : values)
        if (!WireSafe(v.value, v.spaceAllowed))
            return v.key;
    return nullptr;
}

}  // namespace

std::string PrinterNameOfUrl(const std::string& url)
{
    const std::size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(slash + 1);
}

// ---------------------------------------------------------------------------------------------

void ApplyHttpCli1Design(THttpCli& httpCli)
{
    httpCli.SetProxyPort("80");
    httpCli.SetAgent("Internet Print Provider");
    httpCli.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    httpCli.SetNoCache(false);
    httpCli.SetContentTypePost("application/ipp");
    httpCli.SetMultiThreaded(false);
}

THttpEncryption EncryptionOf(const TAList& entry)
{
    return EncryptionOfText(entry.encryption).value_or(heIfRequested);
}

void ApplyProxyRoute(THttpCli& httpCli, const ProxySettings& proxy)
{
    httpCli.SetProxy(proxy.Proxy);
    httpCli.SetProxyPort(proxy.ProxyPort);
    httpCli.SetProxyUsername(proxy.ProxyUsername);
    httpCli.SetProxyPassword(proxy.ProxyPassword);
    if (proxy.RequestTimeout > 0)
        httpCli.SetRequestTimeout(std::chrono::seconds(proxy.RequestTimeout));
}

void ApplyProxySettings(THttpCli& httpCli, const ProxySettings& proxy)
{
    ApplyProxyRoute(httpCli, proxy);
    if (!proxy.Proxy.empty())
        httpCli.SetProxyPassword(PasswordFor(ProxyServer(proxy), proxy.ProxyUsername, proxy.ProxyPassword));
}

std::string PasswordFor(const std::string& remotehost, const std::string& user, const std::string& pass)
{
    return FindPassword(remotehost, user, pass, false).password;
}

std::string PrinterUrl(const TAList& printer) { return "http://" + printer.remotehost + printer.url; }

std::string ProbeUrl(const TAList& printer)
{
    // A printer of its own keeps its page at "/"; its IPP resource answers a GET with 404.
    return printer.direct ? "http://" + printer.remotehost + "/" : PrinterUrl(printer);
}

const char* UnsendableKey(const TAList& printer)
{
    return FirstUnsendableKey({{"remotehost", printer.remotehost, false},
                               {"url", printer.url, false},
                               {"user", printer.user, true},
                               {"pass", printer.pass, true}});
}

const char* UnsendableKey(const ProxySettings& proxy)
{
    return FirstUnsendableKey({{"proxy", proxy.Proxy, false},
                               {"proxyport", proxy.ProxyPort, false},
                               {"proxyuser", proxy.ProxyUsername, true},
                               {"proxypass", proxy.ProxyPassword, true}});
}

std::int32_t JobIdOfCaption(std::string_view caption, int& errorPos)
{
    return NumberOfValue(caption, errorPos);
}

const char* to_string(RefreshEnd end) noexcept
{
    switch (end) {
    case RefreshEnd::None: return "none";
    case RefreshEnd::NoEntry: return "no entry";
    case RefreshEnd::ProbeFailed: return "probe failed";
    case RefreshEnd::NoPrinters: return "no printers";
    case RefreshEnd::JobsFailed: return "Get-Jobs failed";
    case RefreshEnd::PrinterFailed: return "Get-Printer-Attributes failed";
    case RefreshEnd::Complete: return "complete";
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------

TMonitor::TMonitor(MonitorView& view, THttpCli& httpCli, const PrinterList& printers)
    : view_(view), http_(httpCli), printers_(printers)
{
}

bool TMonitor::FillView()
{
    for (const JobColumn& column : kJobColumns)
        view_.AddJobColumn(column.caption, column.width);
    for (const TAList& entry : printers_)
        view_.AddPrinterItem(entry.name);
    if (printers_.empty())
        return false;
    view_.SelectPrinterItem(0);
    return true;
}

// A TLS failure has no status worth showing: its text says what went wrong (a changed
// certificate names both fingerprints and the command that accepts the new one).
std::string TMonitor::StatusNumber() const
{
    const std::uint16_t error = http_.RequestDoneError();
    // These say what was wrong with the connection or the answer; the status beside them would
    // pass for a fault of the printer's.
    for (const TErrorCode& told : {HttpError::TlsFailed, HttpError::CertificateRefused, HttpError::CutShort,
                                   HttpError::BadHeader, HttpError::LineTooLong})
        if (error == told.number)
            return http_.ReplyReason();
    return std::to_string(http_.ReplyStatus());
}

bool TMonitor::ClientBusy() const
{
    // The client's own state says whether a request runs; our flag also covers the moment between
    // the client turning ready and our blocking call returning, when handlers may already run.
    return http_.State() != hsReady || requestRunning_;
}

void TMonitor::SetCredentials(const std::string& remotehost, const std::string& user, const std::string& pass)
{
    credentials_ = Credentials{};
    if (user.empty()) {
        http_.SetUsername("");
        http_.SetPassword("");
        return;
    }
    credentials_.server = platform::CredentialServer(remotehost, "80");
    credentials_.user = user;
    // The store may keep us waiting for a keyring's unlock prompt: the window runs on meanwhile,
    // and a request started from it finds the client taken.
    requestRunning_ = true;
    KnownPassword known = FindPassword(remotehost, user, pass, true);
    requestRunning_ = false;
    credentials_.source = known.source;
    credentials_.noStore = std::move(known.noStore);
    http_.SetUsername(user);
    http_.SetPassword(known.password);
    platform::ClearSecret(known.password);
}

bool TMonitor::MayAskPassword() const
{
    // A password in the file is the file's to mend; a server is asked about once at a time, and
    // the user once per action.
    return askPasswords_ && action_.mayAsk && !action_.asked && !credentials_.user.empty() &&
           credentials_.source != KnownPassword::Source::File && asking_.count(credentials_.server) == 0;
}

std::optional<PasswordAnswer> TMonitor::AskPassword()
{
    action_.asked = true;
    const std::string server = credentials_.server;
    asking_.insert(server);
    requestRunning_ = true;  // the dialog runs the window's loop
    std::optional<PasswordAnswer> typed = view_.AskPassword({server, credentials_.user, credentials_.noStore});
    requestRunning_ = false;
    asking_.erase(server);
    return typed;
}

TMonitor::Outcome TMonitor::RunRequest(THttpRequest kind, std::istream* send, std::ostream* receive)
{
    Outcome outcome = RunRequestOnce(kind, send, receive);
    if (outcome != Outcome::Failed || http_.ReplyStatus() != 401 || !MayAskPassword())
        return outcome;
    // The server refused the password we had (or none): ask, and send the same request once more.
    std::optional<PasswordAnswer> typed = AskPassword();
    if (!typed)
        return outcome;  // cancelled: the request ends with its 401
    if (send != nullptr) {
        send->clear();
        send->seekg(0);
    }
    const Credentials asked = credentials_;
    http_.SetPassword(typed->password);
    outcome = RunRequestOnce(kind, send, receive);
    if (outcome == Outcome::Done || http_.ReplyStatus() != 401) {
        // The store may keep us waiting too; the caller still reads this request's status after.
        requestRunning_ = true;
        KeepTypedPassword(asked.server, asked.user, typed->password, typed->remember);
        requestRunning_ = false;
    }
    platform::ClearSecret(typed->password);
    return outcome;
}

TMonitor::Outcome TMonitor::RunRequestOnce(THttpRequest kind, std::istream* send, std::ostream* receive)
{
    http_.SetPostStream(send);
    http_.SetReplyStream(receive);
    requestRunning_ = true;
    Outcome outcome = Outcome::Done;
    try {
        if (kind == hrPost)
            http_.Post();
        else
            http_.Get();
    } catch (const std::exception&) {
        // Every failure of a request is judged by ReplyStatus at the caller.
        outcome = Outcome::Failed;
    }
    requestRunning_ = false;
    if (http_.CredentialsWentPlain())
        passwordsPlain_.insert(Name());
    // The streams belong to the caller's frame: leave the client no pointer to them.
    if (http_.PostStream() == send)
        http_.SetPostStream(nullptr);
    if (http_.ReplyStream() == receive)
        http_.SetReplyStream(nullptr);
    return outcome;
}

void TMonitor::EnableRefreshControls()
{
    view_.SetPrinterSelectorEnabled(true);
    view_.SetRefreshButtonEnabled(true);
}

void TMonitor::EndRefresh(RefreshEnd end)
{
    lastRefreshEnd_ = end;
    if (OnRefreshDone)
        OnRefreshDone(*this, end);
}

void TMonitor::ShowStatus(const std::string& text)
{
    view_.SetLabelStatus(passwordsPlain_.count(Name()) != 0 ? text + kPasswordWentPlain : text);
}

void TMonitor::ShowProbeFailed()
{
    EnableRefreshControls();
    ShowStatus(Name() + kProbeFailedPrefix + StatusNumber() + ")");
    view_.SetImageStatus(Lamp::Red);
}

// ---------------------------------------------------------------------------------------------
// The refresh

void TMonitor::Refresh(RefreshKind kind)
{
    // The controls that start a refresh are disabled while one waits; a refresh called from inside
    // a waiting one anyway (a timer, a script) would only repaint what the outer one is filling.
    if (refreshRunning_)
        return;
    const ActionScope action(*this, kind == RefreshKind::Full);

    view_.ClearJobs();
    ShowStatus(Name());
    view_.SetLabelPrinterStatus(Name() + kUnknownSuffix);
    view_.SetImageStatus(Lamp::Red);
    view_.SetImagePrinterStatus(Lamp::Red);

    const std::string wanted = Name();
    const TAList* entry = nullptr;
    for (const TAList& candidate : printers_) {
        if (candidate.name == wanted) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        view_.SetImageStatus(Lamp::Red);
        ShowStatus(Name() + kNoEntrySuffix);
        EndRefresh(RefreshEnd::NoEntry);
        return;
    }
    currentPrinter_ = entry;
    view_.SetLabelComment(kCommentPrefix + entry->comment);

    // Another request owns the client's URL, credentials and streams until it ends.
    if (ClientBusy()) {
        ShowProbeFailed();
        EndRefresh(RefreshEnd::ProbeFailed);
        return;
    }

    refreshRunning_ = true;
    lastPrinter_ = PrinterRecord{};
    const RefreshEnd end = RunRefreshRequests(*entry, kind);
    refreshRunning_ = false;
    EndRefresh(end);
}

RefreshEnd TMonitor::RunRefreshRequests(const TAList& entry, RefreshKind kind)
{
    SetCredentials(entry.remotehost, entry.user, entry.pass);
    http_.SetEncryption(EncryptionOf(entry));
    const std::string url = PrinterUrl(entry);
    const bool follow = kind == RefreshKind::Follow;

    // Probe: does the printer URL answer at all?
    if (follow) {
        http_.SetURL(url);
        view_.SetPrinterSelectorEnabled(false);
        view_.SetRefreshButtonEnabled(false);
    } else {
        ProbePageScan page;
        std::ostream probe(&page);
        http_.SetURL(ProbeUrl(entry));
        view_.SetPrinterSelectorEnabled(false);
        view_.SetRefreshButtonEnabled(false);
        // The page is scanned as it arrives and never kept, so its length costs no memory: the
        // client's bound on a reply would only turn a long page into a failed probe.
        const std::int64_t replyBound = http_.MaxReplyLength();
        http_.SetMaxReplyLength(0);
        const Outcome probed = RunRequest(hrGet, nullptr, &probe);
        http_.SetMaxReplyLength(replyBound);
        if (probed == Outcome::Failed) {
            ShowProbeFailed();
            return RefreshEnd::ProbeFailed;
        }
        ShowStatus(Name() + kConnectedPrefix + StatusNumber() + ")");
        view_.SetImageStatus(Lamp::Yellow);
        if (page.SaysNoPrinters()) {
            // Only the selector comes back: choosing the printer again (the selector reports a
            // repeated choice too) is how the user asks once the server has the printer.
            view_.SetPrinterSelectorEnabled(true);
            ShowStatus(Name() + kNoPrintersSuffix);
            return RefreshEnd::NoPrinters;
        }
    }

    // A direct entry's probe asked another page than the one the IPP requests go to.
    if (entry.direct)
        http_.SetURL(url);

    // Get-Jobs: the rows of the job list. The POST goes to the URL the probe set. The answer is
    // walked as it arrives, so only its jobs are kept, packed; they become rows once it is complete.
    JobTable jobs;
    JobListWalk jobWalk([&jobs](JobRecord&& job) { jobs.Add(job); });
    WalkedReply jobsAnswer(jobWalk.Walker());
    // The finished jobs are sorted before they are shown, so their answer is kept whole.
    const bool finished = jobList_ == JobList::Finished;
    ReplyBody finishedAnswer(AnnouncedLength());
    const auto jobsRequest = [follow, finished, &entry](std::string_view uri) {
        if (finished)
            return BuildGetFinishedJobsRequest(uri, entry.user, FinishedJobAttributes());
        return follow ? BuildGetJobsRequest(uri, ShownJobAttributes()) : BuildGetJobsRequest(uri);
    };
    THttpReceiveTarget& jobsTarget = finished ? static_cast<THttpReceiveTarget&>(finishedAnswer) : jobsAnswer;
    if (!PostIpp(jobsRequest, url, jobsTarget)) {
        EnableRefreshControls();
        ShowStatus(Name() + kIppFailedPrefix + StatusNumber() + ")");
        return RefreshEnd::JobsFailed;
    }
    if (follow)
        view_.SetImageStatus(Lamp::Yellow);  // the server answered, as after the probe
    jobsAnswer.Finish();
    const IppAnswerStatus jobsStatus =
        finished ? ReadAnswerStatus(finishedAnswer.Bytes()) : jobWalk.Walker().Status();
    if (SaysNoSuchPrinter(jobsStatus)) {
        // The server is there but has no such queue: the same end as its "no printers" page.
        view_.SetPrinterSelectorEnabled(true);
        ShowStatus(Name() + kNoPrintersSuffix);
        return RefreshEnd::NoPrinters;
    }
    if (!jobsStatus.Succeeded()) {
        EnableRefreshControls();
        ShowStatus(Name() + IppFailureSuffix(jobsStatus, http_.ReplyStatus()));
        return RefreshEnd::JobsFailed;
    }
    ShowStatus(Name() + kIppOkPrefix + StatusNumber() + ")");
    view_.SetImageStatus(Lamp::Green);
    const std::string name = Name();
    if (finished) {
        for (FinishedJobRow& row : WalkFinishedJobs(finishedAnswer.Bytes(), name))
            view_.AddFinishedJobRow(std::move(row));
    } else {
        jobs.Drain([&](const JobFields& job) { view_.AddJobRow(JobRowTexts(job, name)); });
    }

    // Get-Printer-Attributes: the printer line and its lamp.
    ReplyBody printerAnswer(AnnouncedLength());
    const auto printerRequest = [follow](std::string_view uri) {
        return follow ? BuildGetPrinterAttributesRequest(uri, ShownPrinterAttributes())
                      : BuildGetPrinterAttributesRequest(uri);
    };
    if (!PostIpp(printerRequest, url, printerAnswer)) {
        EnableRefreshControls();
        ShowStatus(Name() + kIppFailedPrefix + StatusNumber() + ")");
        return RefreshEnd::PrinterFailed;
    }
    EnableRefreshControls();
    const IppAnswerStatus printerStatus = ReadAnswerStatus(printerAnswer.Bytes());
    if (!printerStatus.Succeeded()) {
        ShowStatus(Name() + IppFailureSuffix(printerStatus, http_.ReplyStatus()));
        return RefreshEnd::PrinterFailed;
    }
    ShowStatus(Name() + kIppOkPrefix + StatusNumber() + ")");
    view_.SetImageStatus(Lamp::Green);
    lastPrinter_ = WalkPrinterRecord(printerAnswer.Bytes());
    const PrinterStatus printer = PrinterStatusText(lastPrinter_, Name());
    view_.SetLabelPrinterStatus(printer.line);
    view_.SetImagePrinterStatus(printer.lamp);
    return RefreshEnd::Complete;
}

std::function<long long()> TMonitor::AnnouncedLength() const
{
    return [this] { return static_cast<long long>(http_.ReplyLength()); };
}

bool TMonitor::PostIpp(const RequestBuilder& build, const std::string& url, std::streambuf& answer)
{
    IppMessage body;
    try {
        body = build(url);
    } catch (const EIppException&) {
        return false;  // a printer URI too long for the encoding: nothing is sent
    }
    std::istringstream send(body);
    std::ostream receive(&answer);
    return RunRequest(hrPost, &send, &receive) == Outcome::Done;
}

// ---------------------------------------------------------------------------------------------
// The operations

void TMonitor::MegszakitClick() { JobCommand(kIppCancelJob, kNoJobToCancel); }
void TMonitor::SzunetClick() { JobCommand(kIppHoldJob, kNoJobToHold); }
void TMonitor::FolytatClick() { JobCommand(kIppReleaseJob, kNoJobToRelease); }
void TMonitor::NyomtatofelfuggeszteseClick() { PrinterCommand(kIppPausePrinter); }
void TMonitor::NyomtatofolytatasaClick() { PrinterCommand(kIppResumePrinter); }
void TMonitor::OsszesfeladattorleseClick() { PrinterCommand(kIppPurgeJobs); }

std::optional<std::int32_t> TMonitor::SelectedJobId(const char* noSelectionText)
{
    if (view_.SelectedJobCount() != 1) {
        ShowWarning(noSelectionText);
        return std::nullopt;
    }
    const std::string caption = view_.SelectedJobCaption();
    int errorPos = 0;
    const std::int32_t jobId = JobIdOfCaption(caption, errorPos);
    // A negative id would send the job command without "job-id", which a server applies to
    // whatever job of the printer it chooses: refuse it at its sign like any other bad caption.
    if (errorPos == 0 && jobId < 0)
        errorPos = static_cast<int>(caption.find_first_not_of(' ')) + 1;
    if (errorPos != 0) {
        ShowError(kBadJobId + std::to_string(errorPos) + ")");
        return std::nullopt;
    }
    return jobId;
}

void TMonitor::JobCommand(std::int32_t operation, const char* noSelectionText)
{
    const std::optional<std::int32_t> jobId = SelectedJobId(noSelectionText);
    if (!jobId || currentPrinter_ == nullptr)
        return;
    const TAList& printer = *currentPrinter_;
    SendIppOperation(printer.remotehost, printer.url, printer.user, printer.pass, operation, *jobId);
}

void TMonitor::PrinterCommand(std::int32_t operation)
{
    if (currentPrinter_ == nullptr)
        return;
    const TAList& printer = *currentPrinter_;
    SendIppOperation(printer.remotehost, printer.url, printer.user, printer.pass, operation, -1);
}

void TMonitor::PrinterCommandOn(const TAList& printer, std::int32_t operation)
{
    operationTarget_ = &printer;
    SendIppOperation(printer.remotehost, printer.url, printer.user, printer.pass, operation, -1);
}

void TMonitor::SendIppOperation(const std::string& remotehost, const std::string& url,
                                const std::string& user, const std::string& pass,
                                std::int32_t operation, std::int32_t jobId)
{
    SendOperation(remotehost, url, user, pass, operation, [&](std::string_view printerUri) {
        return BuildOperationRequest(operation, printerUri, user, jobId);
    });
}

bool TMonitor::SendOperation(const std::string& remotehost, const std::string& url, const std::string& user,
                             const std::string& pass, std::int32_t operation, const RequestBuilder& build,
                             std::string* answerOut, bool refresh)
{
    const ActionScope action(*this);
    // Copies: the arguments may refer to an entry or to texts that a nested handler replaces.
    const std::string host = remotehost;
    const std::string path = url;
    // Taken before anything can wait: an operation started from inside this one finds it unset.
    const TAList* target = std::exchange(operationTarget_, nullptr);
    const bool followWithRefresh = target == nullptr && refresh && batch_ == nullptr;
    const TAList* entry = target == nullptr ? currentPrinter_ : target;
    const bool direct = entry != nullptr && entry->direct;

    IppMessage body;
    try {
        body = build("http://" + host + path);
    } catch (const EIppException&) {
        ShowError(kRequestFailed + StatusNumber() + ")");
        return false;
    }

    // Another request owns the client's settings until it ends; leave them alone.
    if (ClientBusy()) {
        ShowError(kRequestFailed + StatusNumber() + ")");
        return false;
    }

    SetCredentials(host, user, pass);
    http_.SetEncryption(entry != nullptr ? EncryptionOf(*entry) : heIfRequested);
    // The refresh may have ended at a direct printer's root page, and a printer that was not
    // refreshed has not set its URL at all.
    if (direct || target != nullptr)
        http_.SetURL("http://" + host + path);
    IppAnswerStatus answerStatus;
    {
        std::istringstream send(body);
        std::ostringstream receive;
        if (RunRequest(hrPost, &send, &receive) == Outcome::Failed) {
            ShowError(kRequestFailed + StatusNumber() + ")" +
                      HttpRefusalDetails(http_.ReplyStatus(), !user.empty()));
            return false;
        }
        std::string answer = receive.str();
        if (answer.size() > kShortAnswer)
            answerStatus = ReadAnswerStatus(answer);
        if (answerOut != nullptr)
            *answerOut = std::move(answer);
    }

    const auto ippStatus = static_cast<std::int16_t>(answerStatus.statusCode);
    bool fallbackAnswered = false;
    const bool carriedOut = IsSuccessfulIppStatus(answerStatus.statusCode);
    if (!carriedOut) {
        if ((operation == kIppPausePrinter || operation == kIppResumePrinter) && !direct)
            fallbackAnswered = CupsFallback(host, path, operation, answerStatus);
        else
            ShowWarning(kRefused + StatusCodeHex(ippStatus) + RefusalDetails(answerStatus, operation));
    }
    if (!followWithRefresh)
        return carriedOut;
    ComboBoxPrinterlistChange();
    // The web page answers 200 whether or not it did anything (a server that does not know the
    // page says so only in its text): the state the refresh has just read is the judge.
    if (fallbackAnswered && !PrinterStateFollowed(host, path, operation))
        ShowWarning(kCupsRequestIgnored + StatusCodeHex(ippStatus) + RefusalDetails(answerStatus));
    return carriedOut;
}

bool TMonitor::PrinterStateFollowed(const std::string& remotehost, const std::string& url,
                                    std::int32_t operation) const
{
    // Only a refresh of the same printer that read its state can tell; any other end shows its own
    // trouble.
    if (lastRefreshEnd_ != RefreshEnd::Complete || currentPrinter_ == nullptr ||
        currentPrinter_->remotehost != remotehost || currentPrinter_->url != url)
        return true;
    const bool stopped = lastPrinter_.stateText == PrinterStateText(kPrinterStateStopped);
    return operation == kIppPausePrinter ? stopped : !stopped;
}

bool TMonitor::CupsFallback(const std::string& remotehost, const std::string& url, std::int32_t operation,
                            const IppAnswerStatus& refusal)
{
    const char* command = operation == kIppPausePrinter ? "stop-printer" : "start-printer";
    std::ostringstream reply;
    http_.SetURL("http://" + remotehost + "/admin/?op=" + command + "&printer_name=" + PrinterNameOfUrl(url));
    if (RunRequest(hrGet, nullptr, &reply) == Outcome::Done)
        return true;
    ShowWarning(kRefusedAndCupsFailed + StatusCodeHex(static_cast<std::int16_t>(refusal.statusCode)) + "  " +
                StatusNumber() + RefusalDetails(refusal));
    return false;
}

// ---------------------------------------------------------------------------------------------
// The administrator's operations

bool TMonitor::SendOnCurrent(std::int32_t operation, const RequestBuilder& build)
{
    if (currentPrinter_ == nullptr)
        return false;
    const TAList& printer = *currentPrinter_;
    return SendOperation(printer.remotehost, printer.url, printer.user, printer.pass, operation, build);
}

bool TMonitor::JobIdAccepted(std::int32_t jobId)
{
    // Sent without "job-id", a job operation would act on whatever job the server chooses.
    if (jobId >= 0)
        return true;
    ShowError(kBadJobNumber);
    return false;
}

std::optional<std::vector<ServerQueue>> TMonitor::ServerQueues()
{
    if (currentPrinter_ == nullptr)
        return std::nullopt;
    const ActionScope action(*this);
    const TAList& entry = *currentPrinter_;
    if (entry.direct) {
        ShowWarning(kNoOtherQueue);
        return std::nullopt;
    }
    IppMessage body;
    try {
        body = BuildCupsGetPrintersRequest(entry.user);
    } catch (const EIppException&) {
        ShowError(kRequestFailed + StatusNumber() + ")");
        return std::nullopt;
    }
    if (ClientBusy()) {
        ShowError(kRequestFailed + StatusNumber() + ")");
        return std::nullopt;
    }
    SetCredentials(entry.remotehost, entry.user, entry.pass);
    http_.SetEncryption(EncryptionOf(entry));
    // The list is the server's, at its root; the operation that follows goes to the printer again.
    const std::string printerUrl = http_.URL();
    http_.SetURL("http://" + entry.remotehost + "/");
    std::istringstream send(body);
    std::ostringstream receive;
    const Outcome outcome = RunRequest(hrPost, &send, &receive);
    http_.SetURL(printerUrl);
    if (outcome == Outcome::Failed) {
        ShowError(kRequestFailed + StatusNumber() + ")" + HttpRefusalDetails(http_.ReplyStatus(), !entry.user.empty()));
        return std::nullopt;
    }
    const std::string answer = receive.str();
    const IppAnswerStatus status = ReadAnswerStatus(answer);
    if (!status.Succeeded()) {
        ShowWarning(kQueuesRefused + StatusCodeHex(static_cast<std::int16_t>(status.statusCode)) +
                    (status.complete ? RefusalDetails(status, kIppCupsGetPrinters) : std::string("\r") + kNotIppAnswer));
        return std::nullopt;
    }
    return WalkServerQueues(answer);
}

std::optional<ServerQueue> TMonitor::QueueOfServer(const std::string& destination)
{
    const std::optional<std::vector<ServerQueue>> queues = ServerQueues();
    if (!queues)
        return std::nullopt;
    // Queue names are told apart without regard to case on the server.
    const auto sameName = [&destination](const ServerQueue& queue) {
        return platform::AsciiEqualIgnoringCase(queue.name, destination);
    };
    const auto found = std::find_if(queues->begin(), queues->end(), sameName);
    if (found == queues->end()) {
        ShowWarning(kNotAQueueOfServer + destination + kNotAQueueOfServerWhy);
        return std::nullopt;
    }
    return *found;
}

void TMonitor::SendMove(std::int32_t jobId, const ServerQueue& queue)
{
    const TAList& printer = *currentPrinter_;
    const std::string destinationUri = "http://" + printer.remotehost + queue.Path();
    SendOnCurrent(kIppCupsMoveJob, [&](std::string_view uri) {
        return BuildMoveJobRequest(uri, printer.user, jobId, destinationUri);
    });
}

void TMonitor::MoveJob(std::int32_t jobId, const std::string& destination)
{
    if (currentPrinter_ == nullptr)
        return;
    const ActionScope action(*this);
    if (const std::optional<ServerQueue> queue = QueueOfServer(destination))
        SendMove(jobId, *queue);
}

void TMonitor::RestartJob(std::int32_t jobId)
{
    if (currentPrinter_ == nullptr || !JobIdAccepted(jobId))
        return;
    const std::string user = currentPrinter_->user;
    SendOnCurrent(kIppRestartJob,
                  [&](std::string_view uri) { return BuildOperationRequest(kIppRestartJob, uri, user, jobId); });
}

void TMonitor::SetJobPriority(std::int32_t jobId, std::int32_t priority)
{
    if (currentPrinter_ == nullptr || !JobIdAccepted(jobId))
        return;
    if (priority < 1 || priority > 100) {
        ShowError(kBadPriority);
        return;
    }
    const std::string user = currentPrinter_->user;
    SendOnCurrent(kIppSetJobAttributes,
                  [&](std::string_view uri) { return BuildSetJobPriorityRequest(uri, user, jobId, priority); });
}

void TMonitor::RejectJobs(const std::string& reason)
{
    if (currentPrinter_ == nullptr)
        return;
    const std::string user = currentPrinter_->user;
    SendOnCurrent(kIppCupsRejectJobs, [&](std::string_view uri) { return BuildRejectJobsRequest(uri, user, reason); });
}

void TMonitor::AcceptJobs()
{
    if (currentPrinter_ == nullptr)
        return;
    const std::string user = currentPrinter_->user;
    SendOnCurrent(kIppCupsAcceptJobs,
                  [&](std::string_view uri) { return BuildOperationRequest(kIppCupsAcceptJobs, uri, user, -1); });
}

void TMonitor::ShowBox(const std::string& text, MessageIcon icon)
{
    if (batch_ != nullptr)
        batch_->refusals.push_back({batch_->job, text});
    else
        view_.ShowMessage(text, icon);
}

void TMonitor::OnEachSelected(const std::function<void(std::int32_t jobId)>& send)
{
    const TAList* printer = currentPrinter_;
    if (printer == nullptr || batch_ != nullptr)
        return;
    const ActionScope action(*this);
    // Copied: the list may be cleared by a handler while a request waits.
    const std::vector<std::string> captions = view_.SelectedJobCaptions();
    Batch batch;
    batch_ = &batch;
    for (const std::string& caption : captions) {
        if (currentPrinter_ != printer)
            break;
        batch.job = caption;
        int errorPos = 0;
        const std::int32_t jobId = JobIdOfCaption(caption, errorPos);
        if (errorPos != 0 || jobId < 0)
            ShowError(kBadJobNumber);
        else
            send(jobId);
    }
    batch_ = nullptr;
    ComboBoxPrinterlistChange();
    if (!batch.refusals.empty())
        ShowWarning(JobRefusalSummary(captions.size(), batch.refusals));
}

void TMonitor::JobCommandOnSelected(std::int32_t operation)
{
    OnEachSelected([&](std::int32_t jobId) {
        const std::string user = currentPrinter_->user;
        SendOnCurrent(operation,
                      [&](std::string_view uri) { return BuildOperationRequest(operation, uri, user, jobId); });
    });
}

void TMonitor::MoveSelectedJobs(const std::string& destination)
{
    if (currentPrinter_ == nullptr)
        return;
    const ActionScope action(*this);
    if (const std::optional<ServerQueue> queue = QueueOfServer(destination))
        OnEachSelected([&](std::int32_t jobId) { SendMove(jobId, *queue); });
}

std::optional<JobDetails> TMonitor::JobDetailsOf(std::int32_t jobId)
{
    if (currentPrinter_ == nullptr || !JobIdAccepted(jobId))
        return std::nullopt;
    const TAList& printer = *currentPrinter_;
    std::string answer;
    const bool carriedOut = SendOperation(
        printer.remotehost, printer.url, printer.user, printer.pass, kIppGetJobAttributes,
        [&](std::string_view uri) { return BuildGetJobAttributesRequest(uri, printer.user, jobId, JobDetailAttributes()); },
        &answer, false);
    if (!carriedOut)
        return std::nullopt;
    return WalkJobDetails(answer);
}

}  // namespace quenlo
