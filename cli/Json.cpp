#include "cli/Json.h"

#include "config/Utf8.h"

namespace quenlo::cli {
namespace {

// Code points a terminal acts on or that reorder what follows them on the line.
bool WrittenAsEscape(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

void AppendEscape(std::string& out, char32_t code)
{
    static const char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(code >> shift) & 0x0F];
}

}  // namespace

std::string JsonString(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const std::optional<Utf8Sequence> sequence = Utf8SequenceAt(text, i);
        if (!sequence) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte outside UTF-8
            ++i;
            continue;
        }
        const char32_t code = sequence->code;
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (WrittenAsEscape(code)) {
            AppendEscape(out, code);
        } else {
            out.append(text.substr(i, sequence->length));
        }
        i += sequence->length;
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json)
{
    if (!body_.empty())
        body_ += ',';
    body_ += JsonString(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value) { return Raw(key, JsonString(value)); }

JsonObject& JsonObject::TextOrNull(std::string_view key, const std::optional<std::string>& value)
{
    return value ? Text(key, std::string_view(*value)) : Null(key);
}

JsonObject& JsonObject::Number(std::string_view key, std::int64_t value) { return Raw(key, std::to_string(value)); }

JsonObject& JsonObject::NumberOrNull(std::string_view key, std::optional<std::int64_t> value)
{
    return value ? Number(key, *value) : Null(key);
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) { return Raw(key, value ? "true" : "false"); }

JsonObject& JsonObject::BoolOrNull(std::string_view key, std::optional<bool> value)
{
    return value ? Bool(key, *value) : Null(key);
}

JsonObject& JsonObject::Null(std::string_view key) { return Raw(key, "null"); }

JsonObject& JsonObject::Texts(std::string_view key, const std::vector<std::string>& values)
{
    std::string list = "[";
    for (const std::string& v : values)
        list += (list.size() > 1 ? "," : "") + JsonString(v);
    return Raw(key, list + "]");
}

JsonObject& JsonObject::Object(std::string_view key, const JsonObject& value) { return Raw(key, value.Line()); }

JsonObject& JsonObject::Objects(std::string_view key, const std::vector<JsonObject>& values)
{
    std::string list = "[";
    for (const JsonObject& v : values)
        list += (list.size() > 1 ? "," : "") + v.Line();
    return Raw(key, list + "]");
}

}  // namespace quenlo::cli
