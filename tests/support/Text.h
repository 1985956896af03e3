#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// text count times over.
inline std::string Repeat(std::size_t count, std::string_view text) {
    std::string all;
    all.reserve(text.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        all += text;
    }
    return all;
}
