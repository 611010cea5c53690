// Fuzz target: hostile text through the JSON line writer. Every line must parse as
// JSON (strict UTF-8 included), be one line within the writer's capacity, and give
// back plain ASCII text unchanged when it was not cut.
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_check.h"
#include "support/json_line.h"

using lcfuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks how many times the text goes in (1 to 8), so that long
    // inputs also run into the capacity.
    int copies = data[0] % 8 + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;

    static JsonLineWriter w;
    w.begin();
    w.number("seq", size);
    for (int i = 0; i < copies; ++i) {
        char key[8] = {'t', static_cast<char>('0' + i), '\0'};
        w.text(key, text, length);
    }
    w.field("f", text, length < 32 ? length : 32);
    size_t n = 0;
    const char* out = w.finish(n);
    require(n <= JsonLineWriter::kCapacity, "line longer than the capacity");
    require(n >= 3 && out[n - 1] == '\n', "line does not end in a line feed");
    for (size_t i = 0; i + 1 < n; ++i)
        require(static_cast<unsigned char>(out[i]) >= 0x20 && out[i] != 0x7F, "raw control byte in the line");

    nlohmann::json j = nlohmann::json::parse(out, out + n, nullptr, false);
    require(!j.is_discarded() && j.is_object(), "line is not a JSON object");
    require(j.value("seq", uint64_t{0}) == size, "members before the texts lost");
    bool ascii = true;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        ascii = ascii && c >= 0x20 && c < 0x7F;
    }
    if (ascii && !j.contains("cut")) require(j.value("t0", std::string()) == std::string(text, length), "text changed");
    return 0;
}
