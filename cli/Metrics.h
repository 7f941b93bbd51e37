// The exporter's exposition: metric families written in the Prometheus text format 0.0.4 or in
// OpenMetrics 1.0, whichever the scraper asked for.
//
// Label values come from servers and files: each is made well-formed UTF-8 (a byte that starts no
// sequence, and every control character but the line feed, becomes U+FFFD) and then escaped as
// both formats want (backslash, double quote, line feed). A sample whose labels repeat one already
// written in its family is left out, as both formats refuse a repeated series: two supplies of one
// printer may carry the same name.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlo::cli {

enum class MetricsFormat : std::uint8_t { Text, OpenMetrics };

// OpenMetrics when the Accept field names application/openmetrics-text, else the text format.
MetricsFormat FormatAccepted(std::string_view accept);
// The content type of a response in that format.
const char* MetricsContentType(MetricsFormat format);

using MetricLabels = std::vector<std::pair<std::string_view, std::string>>;

// The text as a label value between double quotes (the quotes not included).
std::string LabelValue(std::string_view text);

class MetricsWriter {
public:
    enum class Type : std::uint8_t { Gauge, Info, StateSet };

    explicit MetricsWriter(MetricsFormat format) : format_(format) {}

    // Starts a family. `name` is the family's name: an info family's samples add "_info" to it (in
    // the text format, a gauge of that name). A stateset is a gauge in the text format; its label
    // of the state is named after the family in both, so queries read the same whichever came.
    void Family(std::string_view name, Type type, std::string_view help);
    void Sample(const MetricLabels& labels, double value);
    // Every family written, with "# EOF" at the end in OpenMetrics.
    std::string Finish();

private:
    MetricsFormat format_;
    std::string out_;
    std::string sampleName_;
    std::set<std::string> seen_;  // label sets of the family being written
};

}  // namespace quenlo::cli
