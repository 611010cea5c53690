// One JSON object on one line, built field by field, for --json output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lcctl {

// The text as a JSON string literal, quotes included. UTF-8 stays UTF-8; only the
// quote, the backslash and control bytes below 0x20 are escaped. A byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so the line is always valid UTF-8.
std::string jsonString(const std::string& text);

// The version of lcctl's JSON objects, in the "schema" key of every one: it goes up
// when a key changes its meaning or goes away (new keys may come without it).
constexpr unsigned kJsonSchema = 1;

class JsonLine {
public:
    JsonLine() = default;
    // An object that starts with "type" and "schema".
    explicit JsonLine(const char* type);
    // An array of finished objects (or other JSON values) as the value of key.
    JsonLine& list(const char* key, const std::vector<std::string>& values);
    // An address in dotted text, or null for 0.
    JsonLine& address(const char* key, uint32_t ip);
    JsonLine& text(const char* key, const std::string& value);
    JsonLine& integer(const char* key, uint64_t value);
    JsonLine& number(const char* key, double value, int decimals);
    JsonLine& flag(const char* key, bool value);
    JsonLine& null(const char* key);
    // The finished object, without a line end.
    std::string str() const { return body_ + "}"; }

private:
    JsonLine& raw(const char* key, const std::string& value);
    std::string body_ = "{";
};

}  // namespace lcctl
