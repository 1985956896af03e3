#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant in a fuzz target: say which and abort, so libFuzzer keeps the
// input. Works in every build type, unlike assert.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// The input as text. An input whose first byte has its top bit set is the rest of the
// input repeated (first byte & 0x7F) + 1 times, so that short inputs reach the
// 65535-byte output limit of the decoders.
inline std::string TextOf(const unsigned char* data, std::size_t size) {
    if (size == 0) {
        return {};
    }
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 0x80) == 0) {
        return std::string(reinterpret_cast<const char*>(data), size);
    }
    std::string text;
    const int times = (data[0] & 0x7F) + 1;
    text.reserve(rest.size() * times);
    for (int i = 0; i < times; ++i) {
        text.append(rest);
    }
    return text;
}

}  // namespace fuzz
