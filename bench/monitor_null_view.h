// The window of the monitor benchmarks: it keeps only what a refresh leaves in it.
#pragma once

#include "monitor/MonitorView.h"

#include <string>

namespace quenlo::bench {

class NullView : public MonitorView {
public:
    void SetLabelStatus(const std::string& text) override { status = text; }
    void SetLabelPrinterStatus(const std::string&) override {}
    void SetLabelComment(const std::string&) override {}
    void SetImageStatus(Lamp) override {}
    void SetImagePrinterStatus(Lamp) override {}
    void AddPrinterItem(const std::string&) override {}
    void SelectPrinterItem(int) override {}
    std::string PrinterText() const override { return "Office"; }
    void SetPrinterSelectorEnabled(bool) override {}
    void SetRefreshButtonEnabled(bool) override {}
    void AddJobColumn(const std::string&, int) override {}
    void ClearJobs() override { rows = 0; }
    void AddJobRow(JobRow&&) override { ++rows; }
    int SelectedJobCount() const override { return 0; }
    std::string SelectedJobCaption() const override { return {}; }
    void ShowMessage(const std::string&, MessageIcon) override {}
    std::string status;
    long rows = 0;
};

}  // namespace quenlo::bench
