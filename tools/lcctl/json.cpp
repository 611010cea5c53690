#include "json.h"

#include <cmath>
#include <cstdio>

#include "support/json_line.h"
#include "udp.h"

namespace lcctl {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t n = utf8SequenceLength(reinterpret_cast<const unsigned char*>(text.data()) + i, text.size() - i)) {
            out.append(text, i, n);
            i += n;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out + "\"";
}

JsonLine::JsonLine(const char* type) { text("type", type).integer("schema", kJsonSchema); }

JsonLine& JsonLine::list(const char* key, const std::vector<std::string>& values) {
    std::string joined = "[";
    for (const std::string& v : values) joined += (joined.size() > 1 ? "," : "") + v;
    return raw(key, joined + "]");
}

JsonLine& JsonLine::address(const char* key, uint32_t ip) { return ip ? text(key, dotted(ip)) : null(key); }

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
