#include "support/json_line.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// "}\n" always fits after the last member, and ",\"cut\":true" before it.
constexpr size_t kEndReserve = 2;
constexpr char kCutMember[] = ",\"cut\":true";
constexpr size_t kMemberLimit = JsonLineWriter::kCapacity - kEndReserve - (sizeof kCutMember - 1);

const char* shortEscape(unsigned char c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return nullptr;
    }
}

}  // namespace

size_t utf8SequenceLength(const unsigned char* s, size_t size) {
    unsigned char lead = s[0];
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range the second byte may take
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
    if (length > size || s[1] < low || s[1] > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    return length;
}

void JsonLineWriter::begin() {
    n_ = 0;
    first_ = true;
    cut_ = false;
    buf_[n_++] = '{';
}

bool JsonLineWriter::put(const char* s, size_t length) {
    if (length > kMemberLimit - n_) return false;
    std::memcpy(buf_ + n_, s, length);
    n_ += length;
    return true;
}

bool JsonLineWriter::put(const char* s) { return put(s, std::strlen(s)); }

bool JsonLineWriter::startMember(const char* key) {
    return (first_ || put(",", 1)) && put("\"", 1) && put(key) && put("\":", 2);
}

void JsonLineWriter::endMember(size_t start, bool ok) {
    if (ok) {
        first_ = false;
    } else {
        n_ = start;
        cut_ = true;
    }
}

// Writes whole characters while they fit, keeping room for the closing quote;
// false when the text had to be cut.
bool JsonLineWriter::putEscaped(const char* value, size_t length) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(value);
    for (size_t i = 0; i < length;) {
        char esc[8];
        const char* out = esc;
        size_t outLength = 1;
        size_t used = 1;
        unsigned char c = s[i];
        if (const char* e = shortEscape(c)) {
            out = e;
            outLength = 2;
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            outLength = 6;
        } else if (c < 0x80) {
            esc[0] = static_cast<char>(c);
        } else if (size_t k = utf8SequenceLength(s + i, length - i)) {
            out = value + i;
            outLength = k;
            used = k;
        } else {
            out = "\\ufffd";
            outLength = 6;
        }
        if (outLength + 1 > kMemberLimit - n_) return false;
        std::memcpy(buf_ + n_, out, outLength);
        n_ += outLength;
        i += used;
    }
    return true;
}

void JsonLineWriter::text(const char* key, const char* value, size_t length) {
    size_t start = n_;
    if (!startMember(key) || kMemberLimit - n_ < 2) return endMember(start, false);  // room for ""
    buf_[n_++] = '"';
    if (!putEscaped(value, length)) cut_ = true;
    buf_[n_++] = '"';  // putEscaped kept room for it
    endMember(start, true);
}

void JsonLineWriter::text(const char* key, const char* value) { text(key, value, std::strlen(value)); }

void JsonLineWriter::field(const char* key, const char* value, size_t size) { text(key, value, strnlen(value, size)); }

void JsonLineWriter::number(const char* key, uint64_t value) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%" PRIu64, value);
    size_t start = n_;
    endMember(start, startMember(key) && put(digits));
}

void JsonLineWriter::signedNumber(const char* key, int64_t value) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%" PRId64, value);
    size_t start = n_;
    endMember(start, startMember(key) && put(digits));
}

void JsonLineWriter::flag(const char* key, bool value) {
    size_t start = n_;
    endMember(start, startMember(key) && put(value ? "true" : "false"));
}

void JsonLineWriter::null(const char* key) {
    size_t start = n_;
    endMember(start, startMember(key) && put("null"));
}

void JsonLineWriter::numbers(const char* key, const uint32_t* values, size_t count) {
    size_t start = n_;
    bool ok = startMember(key) && put("[", 1);
    for (size_t i = 0; ok && i < count; ++i) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%s%" PRIu32, i ? "," : "", values[i]);
        ok = put(digits);
    }
    endMember(start, ok && put("]", 1));
}

const char* JsonLineWriter::finish(size_t& length) {
    if (n_ == 0) begin();
    if (cut_) {
        std::memcpy(buf_ + n_, kCutMember + (first_ ? 1 : 0), sizeof kCutMember - (first_ ? 2 : 1));
        n_ += sizeof kCutMember - (first_ ? 2 : 1);
    }
    buf_[n_++] = '}';
    buf_[n_++] = '\n';
    length = n_;
    return buf_;
}
