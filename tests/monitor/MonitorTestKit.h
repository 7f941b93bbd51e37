// Helpers of the monitor tests: a view that records what the monitor shows, and IPP answers and
// HTTP responses for the scripted peer.
#pragma once

#include "ipp/Ipp.h"
#include "ipp/IppBody.h"
#include "monitor/MonitorView.h"
#include "support/CupsLab.h"
#include "support/ScriptedPeer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quenlo::test {

// The window as the monitor sees it, recording every change.
class RecordingView : public MonitorView {
public:
    struct Message {
        std::string text;
        MessageIcon icon;
    };

    void SetLabelStatus(const std::string& label) override { status = label; }
    void SetLabelPrinterStatus(const std::string& label) override { printerStatus = label; }
    void SetLabelComment(const std::string& label) override { comment = label; }
    void SetImageStatus(Lamp lamp) override { statusLamp = lamp; }
    void SetImagePrinterStatus(Lamp lamp) override { printerLamp = lamp; }

    void AddPrinterItem(const std::string& name) override { items.push_back(name); }
    void SelectPrinterItem(int index) override
    {
        text = index >= 0 && static_cast<std::size_t>(index) < items.size() ? items[index] : std::string();
    }
    std::string PrinterText() const override { return text; }
    void SetPrinterSelectorEnabled(bool enabled) override
    {
        selectorEnabled = enabled;
        if (!enabled)
            ++disables;
    }
    void SetRefreshButtonEnabled(bool enabled) override { refreshEnabled = enabled; }

    void AddJobColumn(const std::string& caption, int width) override { columns.push_back({caption, width}); }
    void ClearJobs() override
    {
        rows.clear();
        selectedRow = -1;
        selectedCaptions.clear();
    }
    void AddJobRow(JobRow&& row) override { rows.push_back(std::move(row)); }
    int SelectedJobCount() const override
    {
        return !selectedCaptions.empty() ? static_cast<int>(selectedCaptions.size()) : selectedRow < 0 ? 0 : 1;
    }
    std::vector<std::string> SelectedJobCaptions() const override
    {
        return selectedCaptions.empty() ? MonitorView::SelectedJobCaptions() : selectedCaptions;
    }
    std::string SelectedJobCaption() const override
    {
        return selectedRow < 0 ? std::string() : rows[static_cast<std::size_t>(selectedRow)][0];
    }

    void ShowMessage(const std::string& messageText, MessageIcon icon) override
    {
        messages.push_back({messageText, icon});
    }

    // Answers the password questions in turn (Cancel once they run out), recording each question.
    std::optional<PasswordAnswer> AskPassword(const PasswordQuestion& question) override
    {
        questions.push_back(question);
        if (passwordAnswers.empty())
            return std::nullopt;
        std::optional<PasswordAnswer> answer = passwordAnswers.front();
        passwordAnswers.erase(passwordAnswers.begin());
        return answer;
    }

    // The selector's text; the tests may set a name that is not an item.
    std::string text;
    std::vector<std::string> items;
    std::vector<std::pair<std::string, int>> columns;
    std::string status = "LabelStatus";
    std::string printerStatus = "printer - unknown";
    std::string comment = "Megjegyzés:";
    Lamp statusLamp = Lamp::Red;
    Lamp printerLamp = Lamp::Red;
    bool selectorEnabled = true;
    bool refreshEnabled = true;
    int disables = 0;
    std::vector<JobRow> rows;
    int selectedRow = -1;  // the tests select a row by its index
    std::vector<std::string> selectedCaptions;  // or several rows by their captions
    std::vector<Message> messages;
    std::vector<PasswordQuestion> questions;
    std::vector<std::optional<PasswordAnswer>> passwordAnswers;
};

// An IPP answer: version 1.1, the status, the request id and the operation attributes, then the
// groups a test adds.
class IppAnswer : public IppBody {
public:
    explicit IppAnswer(int status = 0, std::uint32_t requestId = 1)
    {
        Header(1, 1, status, requestId).Tag(0x01);
        Text(0x47, "attributes-charset", "utf-8");
        Text(0x48, "attributes-natural-language", "en-us");
    }
    IppAnswer& Tag(int tag) { return Self(IppBody::Tag(tag)); }
    IppAnswer& Text(int tag, const std::string& name, const std::string& value) { return Self(Attr(tag, name, value)); }
    IppAnswer& Integer(int tag, const std::string& name, std::int32_t v) { return Self(Int(tag, name, v)); }
    IppAnswer& Boolean(const std::string& name, bool v) { return Self(Attr(0x22, name, std::string(1, v ? 1 : 0))); }
    IppAnswer& End() { return Tag(0x03); }

private:
    IppAnswer& Self(IppBody&) { return *this; }
};

// A Get-Jobs answer with one job per entry of `ids`: user "anna", 3 K, pending-held, created at
// 86399 (1970-01-01 23:59:59).
inline std::string HeldJobsAnswer(const std::vector<int>& ids, const std::string& jobName = "Report")
{
    IppAnswer answer;
    for (int id : ids) {
        answer.Tag(0x02)
            .Integer(0x21, "job-id", id)
            .Text(0x42, "job-originating-user-name", "anna")
            .Text(0x42, "job-name", jobName)
            .Integer(0x21, "job-k-octets", 3)
            .Integer(0x23, "job-state", 4)
            .Text(0x44, "job-state-reasons", "job-hold-until-specified")
            .Integer(0x21, "time-at-creation", 86399);
    }
    return answer.End().str();
}

// A Get-Printer-Attributes answer.
inline std::string PrinterAnswer(int state, bool accepting, const std::string& message = "")
{
    IppAnswer answer;
    answer.Tag(0x04).Integer(0x23, "printer-state", state).Boolean("printer-is-accepting-jobs", accepting);
    if (!message.empty())
        answer.Text(0x41, "printer-state-message", message);
    return answer.End().str();
}

inline std::string HttpOk(const std::string& body, const std::string& type = "application/ipp")
{
    return ScriptedPeer::Response(200, "OK", body, type);
}

// Scripts one request/response connection.
inline void Answer(ScriptedPeer& server, const std::string& response)
{
    server.Connection().ReadRequest().Send(response).Close();
}

// Scripts the three connections of a refresh that completes.
inline void AnswerRefresh(ScriptedPeer& server, const std::vector<int>& jobIds = {7},
                          const std::string& printer = PrinterAnswer(3, true))
{
    Answer(server, HttpOk("<html>printer page</html>", "text/html"));
    Answer(server, HttpOk(HeldJobsAnswer(jobIds)));
    Answer(server, HttpOk(printer));
}

// job-id -> job-state of a lab printer's unfinished jobs, asked of the server directly.
inline std::map<int, int> ServerJobStates(CupsLab& lab, const std::string& printer)
{
    const std::string answer =
        PostIpp(lab.Port(), CupsLab::PrinterPath(printer), BuildGetJobsRequest(lab.PrinterUrl(printer)));
    std::map<int, int> states;
    int id = -1;
    WalkResponse(
        answer, kIppJobWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (a.name == "job-id")
                id = a.integer;
            else if (a.name == "job-state" && id >= 0)
                states[id] = a.integer;
        },
        nullptr);
    return states;
}


}  // namespace quenlo::test
