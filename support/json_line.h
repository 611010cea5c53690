// One JSON object on one line, written into a fixed buffer: no allocation, and
// always valid JSON and valid UTF-8 whatever bytes the texts hold.
#pragma once

#include <cstddef>
#include <cstdint>

class JsonLineWriter {
public:
    // Below PIPE_BUF, so that a line goes into a pipe whole or not at all.
    static constexpr size_t kCapacity = 4000;

    // Starts a new object, forgetting the last one.
    void begin();
    // Members, in the order of the calls. A text is escaped: the quote, the
    // backslash, control bytes and DEL become escapes, and a byte that is not part
    // of well-formed UTF-8 becomes \ufffd. A text that does not fit is cut at a
    // character; any other member that does not fit is left out, and the object
    // then ends with "cut":true.
    void text(const char* key, const char* value, size_t length);
    void text(const char* key, const char* value);  // up to its NUL
    // A text field of a received record: up to its first NUL, at most size bytes.
    void field(const char* key, const char* value, size_t size);
    void number(const char* key, uint64_t value);
    void signedNumber(const char* key, int64_t value);
    void flag(const char* key, bool value);
    void null(const char* key);
    void numbers(const char* key, const uint32_t* values, size_t count);  // an array
    // Ends the object with "}\n"; the line and its length, line feed included.
    const char* finish(size_t& length);
    // Where the next member will start: a place to insert a member later.
    size_t size() const { return n_; }

private:
    bool put(const char* s, size_t length);
    bool put(const char* s);
    bool startMember(const char* key);
    void endMember(size_t start, bool ok);
    bool putEscaped(const char* value, size_t length);

    char buf_[kCapacity];
    size_t n_ = 0;
    bool first_ = true;
    bool cut_ = false;
};

// Length of the well-formed UTF-8 sequence at s[0] (at most size bytes), 0 when s[0]
// does not start one: a stray continuation byte, an overlong form, a surrogate, a
// code point above U+10FFFF, or a sequence cut short.
size_t utf8SequenceLength(const unsigned char* s, size_t size);
