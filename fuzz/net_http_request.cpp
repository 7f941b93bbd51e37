// Fuzzes the exporter's request parser: the input is handed over whole and again cut into reads of
// sizes taken from it. Both must come to the same outcome and the same request, the head it keeps
// stays within its limit, the path never runs past the target, and a query parameter decodes to no
// more bytes than the target holds.
//
// Input layout:
//   byte 0     read size (1 + value)
//   the rest   the bytes a client sends
#include "net/HttpServer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

using namespace quenlo;

namespace {

struct TRead {
    THttpRequestParser::TOutcome outcome;
    std::string method, target, accept;
    std::string_view path;
    std::optional<std::string> parameter;
};

TRead Parse(THttpRequestParser& parser, std::string_view bytes, std::size_t step)
{
    for (std::size_t at = 0; at < bytes.size(); at += step)
        parser.Received(bytes.substr(at, step));
    return {parser.Outcome(), parser.Method(), parser.Target(), parser.Field("accept"), parser.Path(), parser.Parameter("target")};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t step = 1 + data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    THttpRequestParser whole, cut;
    const TRead a = Parse(whole, bytes, bytes.size() + 1);
    const TRead b = Parse(cut, bytes, step);
    if (a.outcome != b.outcome || a.method != b.method || a.target != b.target || a.accept != b.accept)
        std::abort();
    if (a.parameter != b.parameter || (a.parameter && a.parameter->size() > a.target.size()))
        std::abort();
    if (a.target.size() > THttpRequestParser::kLimit || a.path.size() > a.target.size())
        std::abort();
    if (a.outcome == THttpRequestParser::TOutcome::Complete && (a.method.empty() || a.target.empty()))
        std::abort();
    return 0;
}
