#include "cli/Metrics.h"

#include "config/Utf8.h"

#include <charconv>

namespace quenlo::cli {

MetricsFormat FormatAccepted(std::string_view accept)
{
    return accept.find("application/openmetrics-text") != std::string_view::npos ? MetricsFormat::OpenMetrics
                                                                                   : MetricsFormat::Text;
}

const char* MetricsContentType(MetricsFormat format)
{
    return format == MetricsFormat::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                                : "text/plain; version=0.0.4; charset=utf-8";
}

std::string LabelValue(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::optional<Utf8Sequence> s = Utf8SequenceAt(text, i);
        if (!s || (s->code < 0x20 && s->code != '\n') || s->code == 0x7f || (s->code >= 0x80 && s->code < 0xa0)) {
            out += "\xEF\xBF\xBD";
            i += s ? s->length : 1;
            continue;
        }
        if (s->code == '\\')
            out += "\\\\";
        else if (s->code == '"')
            out += "\\\"";
        else if (s->code == '\n')
            out += "\\n";
        else
            out.append(text.substr(i, s->length));
        i += s->length;
    }
    return out;
}

void MetricsWriter::Family(std::string_view name, Type type, std::string_view help)
{
    const bool open = format_ == MetricsFormat::OpenMetrics;
    std::string family(name);
    if (type == Type::Info && !open)
        family += "_info";
    sampleName_ = type == Type::Info ? std::string(name) + "_info" : std::string(name);
    const char* typeName = !open || type == Type::Gauge ? "gauge" : type == Type::Info ? "info" : "stateset";
    out_ += "# HELP " + family + " " + std::string(help) + "\n# TYPE " + family + " " + typeName + "\n";
    seen_.clear();
}

void MetricsWriter::Sample(const MetricLabels& labels, double value)
{
    std::string set;
    for (const auto& [name, text] : labels)
        set += (set.empty() ? "" : ",") + std::string(name) + "=\"" + LabelValue(text) + "\"";
    if (!seen_.insert(set).second)
        return;
    char number[64];
    const char* end = std::to_chars(number, number + sizeof number, value).ptr;
    out_ += sampleName_ + (set.empty() ? "" : "{" + set + "}") + " " + std::string(number, static_cast<std::size_t>(end - number)) + "\n";
}

std::string MetricsWriter::Finish()
{
    if (format_ == MetricsFormat::OpenMetrics)
        out_ += "# EOF\n";
    return std::move(out_);
}

}  // namespace quenlo::cli
