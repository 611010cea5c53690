// Fuzz target: text received from the network on its way to the console, both
// raw through "%s" and after sanitizeReceivedText as the SetSerial lines print it.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "support/log.h"

using lcfuzz::require;

namespace {

// The cleaned text must be terminated inside its buffer, hold no control byte,
// DEL or C1 control (alone, or C2 80..9F), and keep the other bytes of the input in their order.
void checkSanitized(const uint8_t* in, size_t inSize, const char* out, size_t outSize) {
    size_t length = strnlen(out, outSize);
    require(length < outSize, "cleaned text not terminated inside its buffer");
    size_t j = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        require(c >= 0x20 && c != 0x7F, "cleaned text holds a control byte or DEL");
        unsigned char before = i > 0 ? static_cast<unsigned char>(out[i - 1]) : 0;
        require(!(c >= 0x80 && c <= 0x9F) || (before >= 0x80 && before != 0xC2),
                "cleaned text holds a C1 control");
        while (j < inSize && in[j] != c) ++j;
        require(j < inSize, "cleaned text holds a byte the input did not have there");
        ++j;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (lcfuzz::setUp(), true);
    (void)ready;
    if (size == 0) return 0;

    // The first byte picks the size of the output buffer (1 to 256, or 0).
    size_t outSize = data[0];
    const uint8_t* text = data + 1;
    size_t textSize = size - 1;

    std::string raw(reinterpret_cast<const char*>(text), textSize);  // up to the first NUL is printed
    lcfuzz::clearOutput();
    lcfuzz::setRelaxed(true);
    myprintf("%s", raw.c_str());
    lcfuzz::setRelaxed(false);
    require(lcfuzz::entries() == 1, "one call did not write one entry");

    // An exactly sized buffer, so a write past its end is caught under ASan.
    std::vector<char> out(outSize ? outSize : 1, 'x');
    sanitizeReceivedText(reinterpret_cast<const char*>(text), textSize, out.data(), outSize);
    if (outSize == 0) {
        require(out[0] == 'x', "wrote into a buffer of size 0");
        return 0;
    }
    checkSanitized(text, textSize, out.data(), outSize);
    lcfuzz::clearOutput();
    myprintf("###           Comment: %s\n", out.data());  // checked strictly by the writer
    require(lcfuzz::entries() == 1, "one call did not write one entry");
    return 0;
}
