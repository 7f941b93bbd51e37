#include "monitor/AdminWindow.h"

namespace quenlo {

namespace {

// A box's lines, for a summary that gives each job one line.
std::string OnOneLine(const std::string& text)
{
    std::string line;
    for (const char c : text) {
        if (c != '\r' && c != '\n')
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

}  // namespace

std::string JobRefusalSummary(std::size_t jobs, const std::vector<JobRefusal>& refusals)
{
    std::string text = std::to_string(jobs) + texts::kRefusalsOf + std::to_string(refusals.size()) +
                       texts::kRefusalsFailed;
    for (const JobRefusal& refusal : refusals)
        text += "\r" + refusal.job + ": " + OnOneLine(refusal.text);
    return text;
}

std::string JobDetailsBoxText(const JobDetails& job)
{
    std::string text = texts::kDetailsTitle;
    for (const auto& [label, value] : JobDetailTexts(job))
        if (!value.empty())
            text += "\r" + label + ": " + value;
    return text;
}

}  // namespace quenlo
