#include "json.h"

#include <cmath>
#include <cstdio>

#include "udp.h"

namespace lcctl {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Length of the well-formed UTF-8 sequence at text[i], 0 when the byte there does not
// start one (a stray continuation byte, an overlong form, a surrogate, a code point
// above U+10FFFF, or a sequence cut short).
size_t utf8SequenceLength(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

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
        } else if (size_t n = utf8SequenceLength(text, i)) {
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
