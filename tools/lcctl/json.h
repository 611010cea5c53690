// One JSON object on one line, built field by field, for --json output.
#pragma once

#include <cstdint>
#include <string>

namespace lcctl {

// The text as a JSON string literal, quotes included. UTF-8 stays UTF-8; only the
// quote, the backslash and control bytes below 0x20 are escaped. A byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so the line is always valid UTF-8.
std::string jsonString(const std::string& text);

class JsonLine {
public:
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
