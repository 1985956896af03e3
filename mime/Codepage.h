#pragma once

#include <optional>
#include <string>
#include <string_view>

// Conversions between the core's code page 932 bytes and UTF-8, for the edges only
// (the window and the command line). Both return nothing when the input cannot be
// converted whole.
std::optional<std::string> Cp932ToUtf8(std::string_view cp932);
std::optional<std::string> Utf8ToCp932(std::string_view utf8);

// For display: like Cp932ToUtf8, but bytes that do not convert become U+FFFD.
std::string Cp932ToUtf8Lossy(std::string_view cp932);
