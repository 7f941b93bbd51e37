#include "monitor/Program.h"

#include "config/Gateways.h"
#include "config/SetupHint.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTexts.h"
#include "monitor/WatchNotice.h"
#include "monitor/Watcher.h"
#include "net/Component.h"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"
#include "platform/Process.h"
#include "platform/Text.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace quenlo {

// ---------------------------------------------------------------------------------------------
// The window as data

namespace form {

Rect Anchored(const Control& control, int clientWidth, int clientHeight)
{
    const int dw = clientWidth - kClientWidth;
    const int dh = clientHeight - kClientHeight;
    Rect r = control.rect;
    if (control.anchors & kKeepRightMargin)
        r.width += dw;
    if (control.anchors & kKeepRightDistance)
        r.x += dw;
    if (control.anchors & kKeepBottomMargin)
        r.height += dh;
    return r;
}

Point BottomRightPlacement(const Rect& desktop, int frameWidth, int frameHeight)
{
    return {desktop.Right() - frameWidth, desktop.Bottom() - frameHeight - kTaskBarRoom};
}

const char* to_string(Command command) noexcept
{
    switch (command) {
    case Command::Refresh: return "Refresh";
    case Command::CancelJob: return "CancelJob";
    case Command::HoldJob: return "HoldJob";
    case Command::ReleaseJob: return "ReleaseJob";
    case Command::PausePrinter: return "PausePrinter";
    case Command::ResumePrinter: return "ResumePrinter";
    case Command::PurgeJobs: return "PurgeJobs";
    case Command::MoveJob: return "MoveJob";
    case Command::RestartJob: return "RestartJob";
    case Command::PrintFirst: return "PrintFirst";
    case Command::JobDetails: return "JobDetails";
    case Command::RejectJobs: return "RejectJobs";
    case Command::AcceptJobs: return "AcceptJobs";
    case Command::MoveAllJobs: return "MoveAllJobs";
    case Command::FinishedJobs: return "FinishedJobs";
    }
    return "?";
}

}  // namespace form

Lamp WorstLamp(Lamp a, Lamp b) { return static_cast<int>(a) >= static_cast<int>(b) ? a : b; }

namespace {

std::string ErrorTexts(const WatchState& state) { return AlertTexts(WatchAlerts(state), ReasonLevel::Error); }

// The printer's line in the tray's tip: its printer line, then what it reports.
std::string TipLine(const WatchState& state, const std::string& name)
{
    std::string line = WatchLine(state, name);
    const char* separator = texts::kTipAlertsFollow;
    for (const PrinterAlert& alert : WatchAlerts(state)) {
        line += separator + alert.text;
        separator = texts::kTipAlertsBetween;
    }
    // Why the printer behind the queue is not asked: said here, never in a balloon.
    if (!state.deviceDisagrees && !state.device.empty())
        line += separator + state.device;
    if (state.passwordPlain)
        line += texts::kPasswordWentPlain;
    return line;
}

std::string LampHintText(const WatchState& state)
{
    const std::vector<PrinterAlert> alerts = WatchAlerts(state);
    std::string hint;
    for (const auto& [level, label] : {std::pair{ReasonLevel::Error, texts::kHintErrors},
                                       std::pair{ReasonLevel::Warning, texts::kHintWarnings}}) {
        const std::string alertTexts = AlertTexts(alerts, level);
        if (!alertTexts.empty())
            hint += (hint.empty() ? "" : "\n") + std::string(label) + alertTexts;
    }
    return hint;
}

bool PausedBySomeone(const WatchState& state)
{
    const std::vector<std::string>& reasons = state.says.reasons;
    return std::find(reasons.begin(), reasons.end(), "paused") != reasons.end();
}

TrayNotice LampNotice(const WatchState& state, const std::string& name, Lamp lamp)
{
    TrayNotice notice;
    notice.lamp = lamp;
    const std::string errors = ErrorTexts(state);
    if (lamp != Lamp::Red && !errors.empty())
        notice.title = name + texts::kReports + errors;
    else
        notice.title = name + (lamp == Lamp::Red      ? texts::kTurnedRed
                               : lamp == Lamp::Yellow ? texts::kTurnedYellow
                                                      : texts::kTurnedGreen);
    notice.text = state.printer.stateMessage.empty() ? WatchLine(state, name) : state.printer.stateMessage;
    notice.icon = lamp == Lamp::Red      ? TrayNotice::Icon::Error
                  : lamp == Lamp::Yellow ? TrayNotice::Icon::Warning
                                         : TrayNotice::Icon::Information;
    return notice;
}

TrayNotice WarningNotice(const WatchState& state, const std::string& name, const std::vector<std::string>& keys)
{
    std::vector<PrinterAlert> fresh;
    for (PrinterAlert& alert : WatchAlerts(state))
        if (std::find(keys.begin(), keys.end(), alert.key) != keys.end())
            fresh.push_back(std::move(alert));
    TrayNotice notice{name + texts::kWarned, AlertTexts(fresh, ReasonLevel::Warning), TrayNotice::Icon::Warning};
    notice.lamp = WatchLamp(state);
    notice.warning = true;
    return notice;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The watch in the tray: a TWatcher over the program's printers, the notices it gives and the view
// that follows it. Its tick is a timer of the program's own loop, so it runs under any window.
class TProgram::Watch {
public:
    Watch(TProgram& program, const ProxySettings& proxy, int seconds)
        : program_(program),
          watcher_(program.printers_, proxy, seconds),
          notices_(program.printers_.size(), std::chrono::seconds(watcher_.Seconds())),
          lookedBefore_(program.printers_.size(), false),
          resumable_(program.printers_.size(), false)
    {
        watcher_.OnChange = [this](TWatcher&, std::size_t index) { Changed(index); };
        tick_ = platform::CreateMessageTarget([this](platform::HWND, unsigned message, platform::WPARAM,
                                                     platform::LPARAM) -> platform::LRESULT {
            if (message == platform::WM_TIMER)
                Tick();
            return 0;
        });
        platform::SetTimer(tick_, 1, kTickMs);
        ShowOnTray();
        watcher_.Start();
    }

    ~Watch() { StopTicking(); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    void End(std::chrono::milliseconds limit)
    {
        StopTicking();
        watcher_.CancelSubscriptions();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (watcher_.Busy()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            platform::WaitAndProcessLoop(left);
        }
    }

    TWatcher& Watcher() { return watcher_; }
    const TrayState& Tray() const { return tray_; }
    // The printer's last notice offered to resume it.
    bool Resumable(std::size_t index) const { return index < resumable_.size() && resumable_[index]; }
    const std::string& LampHint() const { return lampHint_; }
    int FollowCount() const { return follows_; }

private:
    void StopTicking()
    {
        if (tick_)
            platform::DestroyMessageTarget(std::exchange(tick_, 0));
    }

    const TAList* Current() const { return program_.monitor_->CurrentPrinter(); }

    void Changed(std::size_t index)
    {
        // The first look only confirms what the start-up refresh showed. The refresh itself waits
        // for the tick: it must not run inside the watcher's own handler.
        const bool first = !lookedBefore_[index];
        lookedBefore_[index] = true;
        if (!first && Current() == &watcher_.Printer(index))
            followPending_ = true;
        program_.PrinterChanged(index, OverviewRowOf(watcher_.Printer(index), watcher_.State(index)));
        ShowOnTray();
    }

    void Tick()
    {
        const auto now = TWatchNotices::Clock::now();
        for (std::size_t i = 0; i < watcher_.Count(); ++i) {
            // A printer not looked at yet counts as it was (green): it is not announced red meanwhile.
            const WatchState& state = watcher_.State(i);
            if (!state.looked)
                continue;
            const std::string& name = watcher_.Printer(i).name;
            if (const std::optional<Lamp> lamp = notices_.Update(i, WatchLamp(state), ErrorTexts(state), now))
                Notify(i, LampNotice(state, name, *lamp));
            if (notices_.Cleared(i, now))
                fire(program_.OnGreenAgain, program_, i);
            std::vector<std::string> warnings;
            for (const PrinterAlert& alert : WatchAlerts(state))
                if (alert.level == ReasonLevel::Warning)
                    warnings.push_back(alert.key);
            if (const std::vector<std::string> fresh = notices_.NewWarnings(i, warnings, now); !fresh.empty())
                Notify(i, WarningNotice(state, name, fresh));
        }
        ShowLampHint();
        if (followPending_ && RefreshAllowed())
            Follow();
    }

    void Notify(std::size_t index, TrayNotice notice)
    {
        notice.printer = index;
        notice.resumable = program_.proxy_.Admin != 0 && PausedBySomeone(watcher_.State(index));
        resumable_[index] = notice.resumable;
        fire(program_.OnNotice, program_, notice);
    }

    void ShowOnTray()
    {
        TrayState tray;
        for (std::size_t i = 0; i < watcher_.Count(); ++i) {
            const WatchState& state = watcher_.State(i);
            if (!state.looked)
                continue;
            const Lamp lamp = WatchLamp(state);
            tray.lamp = WorstLamp(tray.lamp, lamp);
            if (lamp != Lamp::Green || !WatchAlerts(state).empty() || !state.device.empty() || state.passwordPlain)
                tray.tip += '\n' + TipLine(state, watcher_.Printer(i).name);
        }
        tray_ = std::move(tray);
        fire(program_.OnTrayChanged, program_);
    }

    void ShowLampHint()
    {
        std::string hint;
        for (std::size_t i = 0; i < watcher_.Count(); ++i)
            if (Current() == &watcher_.Printer(i))
                hint = LampHintText(watcher_.State(i));
        if (hint == lampHint_)
            return;
        lampHint_ = std::move(hint);
        fire(program_.OnLampHintChanged, program_);
    }

    bool RefreshAllowed() const
    {
        if (!program_.ViewShown || !program_.ViewShown())
            return false;
        // The overview's rows follow the watch themselves; the queue behind it is not shown.
        if (program_.onOverview_)
            return false;
        // A refresh or an operation waits in HttpCli1 (the window keeps running meanwhile).
        if (program_.monitor_->RequestRunning() || program_.httpCli1_->State() != hsReady)
            return false;
        return !lastFollow_ ||
               std::chrono::steady_clock::now() - *lastFollow_ >= std::chrono::seconds(watcher_.Seconds());
    }

    void Follow()
    {
        followPending_ = false;
        lastFollow_ = std::chrono::steady_clock::now();
        ++follows_;
        program_.monitor_->FollowRefresh();
    }

    TProgram& program_;
    TWatcher watcher_;
    TWatchNotices notices_;
    platform::HWND tick_ = 0;
    TrayState tray_;
    std::string lampHint_;
    bool followPending_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastFollow_;
    int follows_ = 0;
    std::vector<bool> lookedBefore_;
    std::vector<bool> resumable_;
};

// ---------------------------------------------------------------------------------------------
// The program

TProgram::TProgram(MonitorView& view, std::string exeDir)
    : view_(view), exeDir_(std::move(exeDir)), httpCli1_(std::make_unique<THttpCli>())
{
    ApplyHttpCli1Design(*httpCli1_);
    monitor_ = std::make_unique<TMonitor>(view_, *httpCli1_, printers_);
}

TProgram::~TProgram()
{
    EndGateways();
    // Left to their lease: a program that is torn down without EndWatch waits for nothing.
    watch_.reset();
}

bool TProgram::Start()
{
    if (started_ >= 0)
        return started_ != 0;
    started_ = 0;
    if (exeDir_.empty())
        exeDir_ = platform::ExecutableDir();

    const std::optional<std::string> located = LocatePrintersFile();
    if (!located) {
        setupHint_ = SetupHintText(PrintersFileSearch::FromProcess(), std::string());
        return false;
    }
    // The reader appends each printer at its "<endprinter>" line and starts its gateway right
    // there, so gateways start in file order while the file is still being read.
    ProxySettings proxy;
    const std::string& exeDir = exeDir_;
    const bool read = ReadPrintersFile(*located, printers_, proxy, [&exeDir](TAList& entry, const std::string& at) {
        StartGateway(entry, exeDir, at);
    });
    if (read) {
        proxy_ = proxy;
        ApplyProxySettings(*httpCli1_, proxy);
        monitor_->SetAskPasswords(proxy.Admin > 0);
        for (TAList& entry : printers_)
            entry.StatusText = "idle, accepting jobs";
    }
    overview_ = read && proxy.Admin != 0 && !printers_.empty() && view_.DrawsOverview();
    // The overview goes before the printers, and FillView's choice of the first item chooses it.
    if (overview_)
        view_.AddPrinterItem(kOverviewCaption);
    if (!read || !monitor_->FillView()) {
        setupHint_ = SetupHintText(PrintersFileSearch::FromProcess(), *located + kPrintersFileName);
        return false;
    }
    if (overview_) {
        if (proxy.Watch > 0)
            watch_ = std::make_unique<Watch>(*this, proxy, proxy.Watch);
        ChooseOverview();
    } else {
        monitor_->ComboBoxPrinterlistChange();
        if (proxy.Watch > 0)
            watch_ = std::make_unique<Watch>(*this, proxy, proxy.Watch);
    }
    started_ = 1;
    return true;
}

void TProgram::ChooseOverview()
{
    onOverview_ = true;
    if (!watch_)
        LookOnce();
    view_.ShowOverview(OverviewRows(OverviewSource()));
    ShowOverviewSummary();
}

const TWatcher& TProgram::OverviewSource() const { return watch_ ? watch_->Watcher() : *look_; }

void TProgram::ShowOverviewSummary()
{
    const OverviewSummary summary = SummaryOf(OverviewSource());
    view_.SetLabelStatus(summary.status);
    view_.SetLabelPrinterStatus(summary.printers);
    view_.SetLabelComment("");
    view_.SetImageStatus(summary.lamp);
    view_.SetImagePrinterStatus(summary.lamp);
}

void TProgram::LookOnce()
{
    // A look still under way is dropped with its watcher: the new one asks again.
    ProxySettings proxy = proxy_;
    proxy.WatchDevice = 0;
    constexpr int kAnswerLimitSeconds = 10;
    look_ = std::make_unique<TWatcher>(printers_, proxy, kAnswerLimitSeconds);
    look_->OnChange = [this](TWatcher& sender, std::size_t index) {
        PrinterChanged(index, OverviewRowOf(sender.Printer(index), sender.State(index)));
    };
    StartOneLook(*look_);
}

void TProgram::PrinterChanged(std::size_t index, const OverviewRow& row)
{
    if (!overview_)
        return;
    if (row.known)
        view_.SetPrinterItemLamp(static_cast<int>(index) + 1, row.lamp);
    if (onOverview_) {
        view_.UpdateOverviewRow(index, row);
        ShowOverviewSummary();
    }
}

void TProgram::OpenRow(std::size_t row)
{
    if (!onOverview_ || row >= printers_.size())
        return;
    onOverview_ = false;
    view_.SelectPrinterItem(static_cast<int>(row) + 1);
    view_.ShowJobList();
    monitor_->ComboBoxPrinterlistChange();
}

void TProgram::OpenNoticed(std::size_t printer)
{
    if (printer >= printers_.size())
        return;
    if (onOverview_) {
        onOverview_ = false;
        view_.ShowJobList();
    }
    view_.SelectPrinterItem(static_cast<int>(printer) + (overview_ ? 1 : 0));
    monitor_->ComboBoxPrinterlistChange();
}

void TProgram::ResumeNoticed(std::size_t printer)
{
    if (!watch_ || !watch_->Resumable(printer))
        return;
    monitor_->PrinterCommandOn(printers_[printer], kIppResumePrinter);
}

void TProgram::RunOnRow(form::Command command, std::size_t row)
{
    if (!onOverview_ || row >= printers_.size())
        return;
    const TAList& printer = printers_[row];
    switch (command) {
    case form::Command::PausePrinter: monitor_->PrinterCommandOn(printer, kIppPausePrinter); break;
    case form::Command::ResumePrinter: monitor_->PrinterCommandOn(printer, kIppResumePrinter); break;
    case form::Command::PurgeJobs: monitor_->PrinterCommandOn(printer, kIppPurgeJobs); break;
    default: return;
    }
    // Under the watch the row follows the server's event; the overview may have been left meanwhile.
    if (!watch_ && onOverview_)
        LookOnce();
}

void TProgram::Run(form::Command command)
{
    if (overview_ && command == form::Command::Refresh) {
        if (view_.PrinterItemIndex() == 0) {
            ChooseOverview();
            return;
        }
        if (onOverview_) {
            onOverview_ = false;
            view_.ShowJobList();
        }
    }
    if (onOverview_ && command != form::Command::Refresh)
        return;
    // The administrator's list selects several jobs; each gets its own request, one box for all.
    if (overview_ && view_.SelectedJobCount() > 1) {
        switch (command) {
        case form::Command::CancelJob: monitor_->JobCommandOnSelected(kIppCancelJob); return;
        case form::Command::HoldJob: monitor_->JobCommandOnSelected(kIppHoldJob); return;
        case form::Command::ReleaseJob: monitor_->JobCommandOnSelected(kIppReleaseJob); return;
        default: break;
        }
    }
    switch (command) {
    case form::Command::Refresh: monitor_->ComboBoxPrinterlistChange(); break;
    case form::Command::CancelJob: monitor_->MegszakitClick(); break;
    case form::Command::HoldJob: monitor_->SzunetClick(); break;
    case form::Command::ReleaseJob: monitor_->FolytatClick(); break;
    case form::Command::PausePrinter: monitor_->NyomtatofelfuggeszteseClick(); break;
    case form::Command::ResumePrinter: monitor_->NyomtatofolytatasaClick(); break;
    case form::Command::PurgeJobs: monitor_->OsszesfeladattorleseClick(); break;
    default: RunAdmin(command); break;
    }
}

void TProgram::RunAdmin(form::Command command)
{
    if (!overview_)
        return;
    TMonitor& monitor = *monitor_;
    const auto onSelected = [&monitor](const char* noSelection, const auto& run) {
        if (const std::optional<std::int32_t> jobId = monitor.SelectedJobId(noSelection))
            run(*jobId);
    };
    switch (command) {
    case form::Command::RestartJob:
        onSelected(texts::kNoJobToRestart, [&](std::int32_t id) { monitor.RestartJob(id); });
        break;
    case form::Command::PrintFirst:
        onSelected(texts::kNoJobToPrintFirst,
                   [&](std::int32_t id) { monitor.SetJobPriority(id, texts::kPrintFirstPriority); });
        break;
    case form::Command::JobDetails:
        onSelected(texts::kNoJobForDetails, [&](std::int32_t id) {
            if (const std::optional<JobDetails> details = monitor.JobDetailsOf(id))
                view_.ShowMessage(JobDetailsBoxText(*details), MessageIcon::Information);
        });
        break;
    case form::Command::RejectJobs:
        if (monitor.CurrentPrinter() != nullptr)
            if (const std::optional<std::string> reason = view_.AskText(texts::kRejectReasonPrompt))
                monitor.RejectJobs(*reason);
        break;
    case form::Command::AcceptJobs: monitor.AcceptJobs(); break;
    case form::Command::FinishedJobs: SwitchJobList(); break;
    default: break;  // the moves come with their queue (RunMove)
    }
}

void TProgram::SwitchJobList()
{
    const bool finished = !ShowsFinished();
    monitor_->SetJobList(finished ? TMonitor::JobList::Finished : TMonitor::JobList::Waiting);
    view_.SetFinishedColumns(finished);
    monitor_->ComboBoxPrinterlistChange();
}

bool TProgram::ShowsFinished() const { return monitor_->ShownJobList() == TMonitor::JobList::Finished; }

std::optional<std::vector<std::string>> TProgram::MoveTargets()
{
    const TAList* printer = monitor_->CurrentPrinter();
    if (!overview_ || onOverview_ || printer == nullptr || printer->direct || monitor_->RequestRunning())
        return std::nullopt;
    const std::optional<std::vector<ServerQueue>> queues = monitor_->ServerQueues();
    if (!queues)
        return std::nullopt;
    const std::string own = PrinterNameOfUrl(printer->url);
    std::vector<std::string> names;
    for (const ServerQueue& queue : *queues)
        if (!platform::AsciiEqualIgnoringCase(queue.name, own))
            names.push_back(queue.name);
    return names;
}

void TProgram::RunMove(const std::string& destination, bool allJobs)
{
    if (!overview_ || onOverview_)
        return;
    if (allJobs)
        monitor_->MoveAllJobs(destination);
    else if (view_.SelectedJobCount() > 1)
        monitor_->MoveSelectedJobs(destination);
    else if (const std::optional<std::int32_t> jobId = monitor_->SelectedJobId(texts::kNoJobToMove))
        monitor_->MoveJob(*jobId, destination);
}

void TProgram::EndGateways() { StopGateways(printers_); }

void TProgram::EndWatch(std::chrono::milliseconds limit)
{
    // A watch left to its lease would keep the servers sending it events for minutes.
    if (watch_)
        watch_->End(limit);
    watch_.reset();
}

TMonitor& TProgram::Monitor() { return *monitor_; }
THttpCli& TProgram::HttpCli1() { return *httpCli1_; }
TWatcher* TProgram::Watcher() { return watch_ ? &watch_->Watcher() : nullptr; }

const TrayState& TProgram::Tray() const
{
    static const TrayState plain;
    return watch_ ? watch_->Tray() : plain;
}

const std::string& TProgram::LampHint() const
{
    static const std::string none;
    return watch_ ? watch_->LampHint() : none;
}

int TProgram::FollowCount() const { return watch_ ? watch_->FollowCount() : 0; }

}  // namespace quenlo
