// JSON output of quenlo-cli's --json: one object per line, built field by field.
//
// Texts come from servers and files, so nothing in them may drive a terminal that shows the
// output: a byte that starts no well-formed UTF-8 sequence becomes U+FFFD, and the C0 controls,
// DEL, the C1 controls and the bidirectional embeddings, overrides and isolates (U+202A to U+202E,
// U+2066 to U+2069) are written as \uXXXX. Everything else is written as UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo::cli {

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

class JsonObject {
public:
    JsonObject& Text(std::string_view key, std::string_view value);
    // These two write null when there is no value.
    JsonObject& TextOrNull(std::string_view key, const std::optional<std::string>& value);
    JsonObject& Number(std::string_view key, std::int64_t value);
    JsonObject& NumberOrNull(std::string_view key, std::optional<std::int64_t> value);
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& BoolOrNull(std::string_view key, std::optional<bool> value);
    JsonObject& Texts(std::string_view key, const std::vector<std::string>& values);
    JsonObject& Object(std::string_view key, const JsonObject& value);
    JsonObject& Objects(std::string_view key, const std::vector<JsonObject>& values);
    JsonObject& Null(std::string_view key);

    // The object on one line, without a line break.
    std::string Line() const { return "{" + body_ + "}"; }

private:
    JsonObject& Raw(std::string_view key, std::string_view json);

    std::string body_;
};

}  // namespace quenlo::cli
