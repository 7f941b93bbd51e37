// TMonitor: the refresh of the chosen printer's connection, state and job list, and the six job and
// printer operations, written against the abstract window (monitor/MonitorView.h).
//
// One TMonitor belongs to the main window (or to quenlo-cli's text view). It owns the use of the
// window's HTTP client `HttpCli1`, keeps `CurrentPrinter`, and refers to the printer list read at
// start-up. A host wires its controls to the handlers below:
//
//     selector change, refresh button  ->  ComboBoxPrinterlistChange / RefreshButtonClick
//     job menu "Megszakít", "Szünet", "Folytat"               ->  MegszakitClick, SzunetClick, FolytatClick
//     printer menu "Nyomtató felfüggesztése", "Nyomtató folytatása", "Összes feladat törlése"
//                                       ->  NyomtatofelfuggeszteseClick, NyomtatofolytatasaClick,
//                                           OsszesfeladattorleseClick
//
// Blocking and re-entrancy: every request is a blocking Get or Post of HttpCli1, which keeps the
// thread's event loop (and so the window) running while it waits. Any handler may therefore be
// called again from inside another one. The monitor learns that HttpCli1 is busy from its State()
// (and from its own record of the request it is waiting for) before it touches any of the client's
// settings: a refresh started meanwhile ends as a failed probe, an operation started meanwhile shows
// "Kérés sikertelen (" + status + ")". Neither disturbs the request that is running. The refresh
// disables the selector and the refresh button while it waits; the operations disable nothing.
//
// Streams: each request gets its own send and receive streams, made for it and released on every
// path; the client's PostStream and ReplyStream are pointed at them only while that request runs.
//
// The view, the client and the printer list must outlive the monitor. Everything runs on the thread
// that owns the client.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/AdminWindow.h"
#include "ipp/IppRequest.h"
#include "monitor/MonitorView.h"
#include "monitor/Passwords.h"
#include "monitor/QueueAdmin.h"
#include "monitor/RefreshText.h"
#include "net/HttpProt.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {


// ---------------------------------------------------------------------------------------------
// Set-up helpers shared by the window and quenlo-cli

// Puts HttpCli1's design values on a client: ProxyPort "80", Agent "Internet Print Provider", the
// default Accept list, NoCache false, ContentTypePost "application/ipp", MultiThreaded false.
void ApplyHttpCli1Design(THttpCli& httpCli);
// Hands the proxy settings of the printers file to the client (Proxy, ProxyPort, ProxyUsername,
// ProxyPassword), and its whole-request bound when the file sets one.
void ApplyProxySettings(THttpCli& httpCli, const ProxySettings& proxy);
// The same with the file's proxypass as it stands, for a caller that finds a kept one itself.
void ApplyProxyRoute(THttpCli& httpCli, const ProxySettings& proxy);
// The password that goes with `user` to the server `remotehost` ("host" or "host:port", port 80 when
// none is given), in FindPassword's order (monitor/Passwords.h): `pass` when the file gives one, a
// password typed in the window during the run, the one the user's credential store keeps for that
// server and user, else empty (also when there is no store). Nothing is looked up without a user.
// Blocks for as long as the store takes; the window's requests use FindPassword off the thread.
std::string PasswordFor(const std::string& remotehost, const std::string& user, const std::string& pass);
// The entry's "encryption" key; IfRequested when it has none or a word the key does not know.
THttpEncryption EncryptionOf(const TAList& entry);

// The job list's columns, in order: caption and width in pixels.
struct JobColumn {
    const char* caption;
    int width;
};
inline constexpr std::array<JobColumn, 8> kJobColumns{{
    {"job ID", 50},
    {"printer", 50},
    {"user", 50},
    {"job name", 80},
    {"size", 50},
    {"state", 80},
    {"state-reason", 120},
    {"time-at-creation", 100},
}};

// "http://" + remotehost + url: the HTTP target and the "printer-uri" of every request for a printer.
std::string PrinterUrl(const TAList& printer);
// The part of the url after its last "/" (a queue's name), or all of it without one.
std::string PrinterNameOfUrl(const std::string& url);
// The URL the refresh probes: the printer URL, or for a direct entry its server's root page.
std::string ProbeUrl(const TAList& printer);

// The first key of the entry whose value could never be sent (a control byte, or a space where
// words are cut at spaces), or nullptr when all can: "remotehost", "url", "user" or "pass".
const char* UnsendableKey(const TAList& printer);
// The same for the proxy keys: "proxy", "proxyport", "proxyuser" or "proxypass".
const char* UnsendableKey(const ProxySettings& proxy);

// Reads a job list caption as a job id with the printers file's number rules (leading spaces, then
// "$", "x", "X", "0x" or "0X" and hex digits, or an optional sign and decimal digits). `errorPos` is
// 0 when the whole caption converts, otherwise the 1-based position of the first character that
// stops the conversion (the position after the end when digits are missing, so 1 for an empty
// caption; a digit that would take the number past 32 bits stops it too).
std::int32_t JobIdOfCaption(std::string_view caption, int& errorPos);

// ---------------------------------------------------------------------------------------------

// Where a refresh ended; the view shows the same outcome in its labels and lamps.
enum class RefreshEnd : std::uint8_t {
    None,           // no refresh has run yet
    NoEntry,        // no printer of the selector's name: "... - memóriahiba, nem találom ..."
    ProbeFailed,    // the GET of the printer URL failed (or the client was busy)
    NoPrinters,     // the server said it has no such printer
    JobsFailed,     // Get-Jobs failed
    PrinterFailed,  // Get-Printer-Attributes failed; the job rows are shown
    Complete,       // both answers shown
};
const char* to_string(RefreshEnd end) noexcept;

class TMonitor {
public:
    // `httpCli` is HttpCli1 (its design values and proxy are the host's to set, see the helpers
    // above); `printers` is the list read at start-up, searched by name on every refresh.
    TMonitor(MonitorView& view, THttpCli& httpCli, const PrinterList& printers);
    TMonitor(const TMonitor&) = delete;
    TMonitor& operator=(const TMonitor&) = delete;

    // Start-up's part of the view: adds the eight job list columns, the printer names in list order
    // and selects the first one. Runs no refresh. False (and only the columns added) when the list is
    // empty.
    bool FillView();

    // ---- The refresh ------------------------------------------------------------------------------

    // Refreshes the printer whose name the selector shows: clears the job list, shows the name with
    // red lamps, finds the first entry of that name (it becomes CurrentPrinter and its comment is
    // shown), probes the printer URL with a GET, then asks for its jobs (Get-Jobs) and its state
    // (Get-Printer-Attributes). Each failure ends the refresh with its own LabelStatus text; see
    // RefreshEnd for the end points. An IPP answer counts only when it is complete and successful
    // (status-code 0x0000 to 0x00FF): Get-Jobs answered client-error-not-found ends as "no
    // printers" (the server has no such queue); any other refusal, and a body that is not a
    // complete IPP answer, ends as a failure of that request, with the status-code and the
    // server's status-message in the text (MonitorTexts.h: IppFailureSuffix). Every end fires
    // OnRefreshDone. The selector and the refresh button are disabled from the probe on and enabled
    // again at every end, except that the "no printers" end gives back only the selector (the
    // refresh button stays disabled until a later refresh ends otherwise). Called again while one
    // of its own requests waits (which the disabled controls normally prevent), it does nothing.
    void ComboBoxPrinterlistChange() { Refresh(RefreshKind::Full); }
    // The refresh button: the same refresh.
    void RefreshButtonClick() { ComboBoxPrinterlistChange(); }
    // The refresh the background watch starts while the window is shown: the same texts, lamps and
    // rows as the refresh above, at a fraction of the server's cost. It sends no probe (the watch
    // already knows the server answers; a missing queue ends as "no printers", from Get-Jobs) and
    // asks Get-Jobs and Get-Printer-Attributes only for what the window shows, never "all" (a
    // server loads every attribute of every job for that).
    void FollowRefresh() { Refresh(RefreshKind::Follow); }

    // ---- The operations -----------------------------------------------------------------------------

    // Job menu: cancel, hold or release the one selected job of CurrentPrinter. With no selection,
    // the command's warning; with a caption that is not a job id, the error box "A job IDje
    // érvénytelen!" with the error position; otherwise SendIppOperation. A negative id is refused
    // the same way (at its sign): sent, it would leave out "job-id" and let the server choose the
    // job. The job and printer commands do nothing while there is no CurrentPrinter.
    void MegszakitClick();
    void SzunetClick();
    void FolytatClick();
    // Printer menu: pause, resume or purge CurrentPrinter, without confirmation.
    void NyomtatofelfuggeszteseClick();
    void NyomtatofolytatasaClick();
    void OsszesfeladattorleseClick();
    // The printer menu on another printer than CurrentPrinter (a row of the overview): the same
    // request, refusal boxes and fallback, but no refresh follows (the overview looks again
    // itself) and CurrentPrinter stays as it is.
    void PrinterCommandOn(const TAList& printer, std::int32_t operation);

    // Posts one operation (an IPP operation code; jobId < 0: no "job-id") to the URL the last
    // refresh set and judges the answer's status-code. A failed request shows "Kérés sikertelen ("
    // + status + ")" and ends there. An answer of 10 bytes or fewer is not judged. The successful
    // status-codes (0x0000 to 0x00FF: the request was carried out) show nothing; any other is a
    // refusal and shows a warning with the status-code, the server's status-message and a short
    // explanation of the code (a failed request's box explains 401, 403 and 426 the same way); a
    // refused pause or resume is first retried through the server's web administration page
    // ("http://" + remotehost + "/admin/?op=stop-printer&printer_name=" + the url's last segment, or
    // start-printer), and warns when that fails too, or when the refresh that follows finds the
    // printer's state unchanged (the page answers 200 also when it did nothing); not so for a
    // direct entry (CurrentPrinter has the direct key), which is posted to its own URL and has no
    // such page. Every request that got through is followed by a refresh.
    void SendIppOperation(const std::string& remotehost, const std::string& url, const std::string& user,
                          const std::string& pass, std::int32_t operation, std::int32_t jobId);

    // ---- The administrator's operations -------------------------------------------------------------
    // Each acts on CurrentPrinter (nothing while there is none) and is posted and judged like
    // SendIppOperation: a refusal explains itself (client-error-not-possible in the operation's own
    // words), and every request that got through is followed by the refresh. A negative job id is
    // refused with the error box before anything is sent.

    // CUPS-Move-Job of the job, or of every job of the printer (jobId < 0), to `destination`, a
    // queue name of the same server. The server's own list of its queues (ServerQueues) is asked
    // first: a name that is not in it is refused, before the move is sent, with the warning that
    // names it.
    void MoveJob(std::int32_t jobId, const std::string& destination);
    void MoveAllJobs(const std::string& destination) { MoveJob(-1, destination); }
    // Restart-Job of a finished job whose files the server kept.
    void RestartJob(std::int32_t jobId);
    // Set-Job-Attributes "job-priority" (1 to 100; texts::kPrintFirstPriority prints it first). A
    // priority outside 1 to 100 is refused with the error box, nothing sent.
    void SetJobPriority(std::int32_t jobId, std::int32_t priority);
    // CUPS-Reject-Jobs, the reason (when not empty) as the printer's state message; CUPS-Accept-Jobs.
    void RejectJobs(const std::string& reason);
    void AcceptJobs();
    // Get-Job-Attributes: the job's details, or nothing when the request failed or was refused (its
    // box shown). No refresh follows: nothing changed on the server.
    std::optional<JobDetails> JobDetailsOf(std::int32_t jobId);
    // The queues of CurrentPrinter's server by its own list (CUPS-Get-Printers), for a move; nothing
    // when it cannot be had, with a box that says why (a direct entry has no other queue). The
    // client's URL stays the one the refresh set.
    std::optional<std::vector<ServerQueue>> ServerQueues();

    // ---- Several selected jobs (the administrator's window) -------------------------------------
    // Cancel, hold or release (an IPP operation code), or move, every selected job of
    // CurrentPrinter: one request each, in the list's order, and no box of its own for any; then
    // one refresh, and one warning box listing the jobs not acted on and why (JobRefusalSummary),
    // when there were any. A move asks the server's list of its queues once, before any job.
    // Should a handler choose another printer meanwhile, the jobs left are not sent.
    void JobCommandOnSelected(std::int32_t operation);
    void MoveSelectedJobs(const std::string& destination);
    // The one selected job's id, for a command on it; nothing, with the warning `noSelectionText`
    // or the error box of a caption that is not a job id, otherwise.
    std::optional<std::int32_t> SelectedJobId(const char* noSelectionText);

    // Which jobs the refresh lists: the waiting ones (the job list of old) or the finished ones
    // (AddFinishedJobRow rows, newest first). Every later refresh keeps it.
    enum class JobList : std::uint8_t { Waiting, Finished };
    void SetJobList(JobList list) noexcept { jobList_ = list; }
    JobList ShownJobList() const noexcept { return jobList_; }

    // ---- State ------------------------------------------------------------------------------------

    // The entry the last refresh found; nullptr before any refresh found one. Owned by the list.
    const TAList* CurrentPrinter() const noexcept { return currentPrinter_; }
    // Where the most recent refresh ended.
    RefreshEnd LastRefreshEnd() const noexcept { return lastRefreshEnd_; }
    // The entries whose password went in plain HTTP during the run (their servers answered the
    // TLS handshake in plain HTTP); their status lines say so.
    const std::set<std::string>& PasswordsSentPlain() const noexcept { return passwordsPlain_; }
    // True while one of this monitor's requests is waiting.
    bool RequestRunning() const noexcept { return requestRunning_; }

    // Asking for passwords (the printers file's "admin" key): when a request of an entry with a
    // user is refused with HTTP 401 and its password was not the file's (none was known, or the
    // one the store or this run kept was refused), the view asks for it (MonitorView::AskPassword)
    // and the same request is sent once more with the typed one; a password the server then takes
    // is kept (KeepTypedPassword). Cancel ends the request with its 401 as before. At most one
    // question per user action (a click, a command, the choice of a printer: the operation and the
    // refresh that follows it are one action), none for the refresh the watch starts, and one
    // server is asked about once at a time. Off, a 401 ends the request as it always did.
    void SetAskPasswords(bool on) noexcept { askPasswords_ = on; }

    // Fired at every end of a refresh, after the view shows the outcome. A handler may read the view
    // and the monitor; it must not start a refresh or an operation from inside.
    std::function<void(TMonitor& sender, RefreshEnd end)> OnRefreshDone;

private:
    enum class Outcome { Done, Failed };

    std::string Name() const { return view_.PrinterText(); }
    std::string StatusNumber() const;
    bool ClientBusy() const;
    void SetCredentials(const std::string& remotehost, const std::string& user, const std::string& pass);
    // One request, and when the server refuses its password and asking is on, the question and
    // the same request once more (rewound) with the typed password.
    Outcome RunRequest(THttpRequest kind, std::istream* send, std::ostream* receive);
    Outcome RunRequestOnce(THttpRequest kind, std::istream* send, std::ostream* receive);
    bool MayAskPassword() const;
    std::optional<PasswordAnswer> AskPassword();
    // What a user action may still ask: set by the outermost scope, shared by the nested ones (an
    // operation and the refresh that follows it; the jobs of a batch).
    struct Action {
        bool mayAsk = false;
        bool asked = false;
        int depth = 0;
    };
    class ActionScope {
    public:
        explicit ActionScope(TMonitor& monitor, bool userAction = true) : monitor_(monitor)
        {
            if (monitor_.action_.depth++ == 0)
                monitor_.action_ = Action{userAction, false, 1};
        }
        ~ActionScope() { --monitor_.action_.depth; }
        ActionScope(const ActionScope&) = delete;
        ActionScope& operator=(const ActionScope&) = delete;

    private:
        TMonitor& monitor_;
    };
    // The credentials SetCredentials gave the client, and where the password came from.
    struct Credentials {
        std::string server;  // host:port
        std::string user;
        KnownPassword::Source source = KnownPassword::Source::None;
        std::string noStore;
    };
    void EnableRefreshControls();
    void EndRefresh(RefreshEnd end);
    void ShowProbeFailed();
    enum class RefreshKind : std::uint8_t { Full, Follow };
    void Refresh(RefreshKind kind);
    RefreshEnd RunRefreshRequests(const TAList& entry, RefreshKind kind);
    std::function<long long()> AnnouncedLength() const;
    using RequestBuilder = std::function<IppMessage(std::string_view printerUri)>;
    bool PostIpp(const RequestBuilder& build, const std::string& url, std::streambuf& answer);
    // SendIppOperation's steps for any request body: `build` makes it for the printer URI. True when
    // the request was carried out; its answer then goes to `answer` when given. With `refresh`
    // false no refresh follows.
    bool SendOperation(const std::string& remotehost, const std::string& url, const std::string& user,
                       const std::string& pass, std::int32_t operation, const RequestBuilder& build,
                       std::string* answer = nullptr, bool refresh = true);
    // An administrator's operation on CurrentPrinter; false (nothing sent) when there is none.
    bool SendOnCurrent(std::int32_t operation, const RequestBuilder& build);
    // The queue of CurrentPrinter's server of that name by the server's own list; nothing (with the
    // box that says why) when the list cannot be had or has no such queue.
    std::optional<ServerQueue> QueueOfServer(const std::string& destination);
    // CUPS-Move-Job of the job (every job: jobId < 0) of CurrentPrinter, which must be set.
    void SendMove(std::int32_t jobId, const ServerQueue& queue);
    // False, with the error box, for a negative job id.
    bool JobIdAccepted(std::int32_t jobId);
    void JobCommand(std::int32_t operation, const char* noSelectionText);
    void PrinterCommand(std::int32_t operation);
    // Tries a refused pause or resume through the web administration page; true when the page
    // answered (which does not say that it did anything).
    bool CupsFallback(const std::string& remotehost, const std::string& url, std::int32_t operation,
                      const IppAnswerStatus& refusal);
    // After the refresh that follows a fallback: false when that refresh read the same printer and
    // its state is not what the operation asked for (paused: stopped; resumed: not stopped).
    bool PrinterStateFollowed(const std::string& remotehost, const std::string& url,
                              std::int32_t operation) const;
    // Every status line of the refresh and the operations goes through here.
    void ShowStatus(const std::string& text);
    void ShowError(const std::string& text) { ShowBox(text, MessageIcon::Error); }
    void ShowWarning(const std::string& text) { ShowBox(text, MessageIcon::Warning); }
    // Every box goes through here: while selected jobs are worked through, it is the job's refusal.
    void ShowBox(const std::string& text, MessageIcon icon);
    // The several-jobs frame: `send` for each selected job with a valid id.
    void OnEachSelected(const std::function<void(std::int32_t jobId)>& send);

    MonitorView& view_;
    THttpCli& http_;
    const PrinterList& printers_;
    const TAList* currentPrinter_ = nullptr;
    // The printer of the operation PrinterCommandOn starts; taken by SendIppOperation at once.
    const TAList* operationTarget_ = nullptr;
    RefreshEnd lastRefreshEnd_ = RefreshEnd::None;
    JobList jobList_ = JobList::Waiting;
    PrinterRecord lastPrinter_;  // what the last complete refresh read of the printer
    // While selected jobs are worked through: the job in hand and the refusals so far.
    struct Batch {
        std::string job;
        std::vector<JobRefusal> refusals;
    };
    Batch* batch_ = nullptr;
    bool requestRunning_ = false;
    bool refreshRunning_ = false;
    bool askPasswords_ = false;
    Action action_;
    Credentials credentials_;
    std::set<std::string> asking_;  // servers whose password is being asked for
    std::set<std::string> passwordsPlain_;
};

}  // namespace quenlo
