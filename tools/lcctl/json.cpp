#include "json.h"

#include <cmath>
#include <cstdio>

namespace lcctl {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

JsonLine& JsonLine::raw(const char* key, const std::string& value) {
    if (body_.size() > 1) body_ += ',';
    body_ += jsonString(key) + ":" + value;
    return *this;
}

JsonLine& JsonLine::text(const char* key, const std::string& value) { return raw(key, jsonString(value)); }

JsonLine& JsonLine::integer(const char* key, uint64_t value) { return raw(key, std::to_string(value)); }

JsonLine& JsonLine::number(const char* key, double value, int decimals) {
    if (!std::isfinite(value)) return null(key);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return raw(key, buf);
}

JsonLine& JsonLine::flag(const char* key, bool value) { return raw(key, value ? "true" : "false"); }

JsonLine& JsonLine::null(const char* key) { return raw(key, "null"); }

}  // namespace lcctl
