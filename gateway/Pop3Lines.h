#pragma once

#include <string_view>

// Takes one line of a multi-line POP3 answer (after its status line): true at the
// line "." that ends the answer; otherwise false, and line loses the dot the server
// stuffs in front of a line that begins with one.
constexpr bool TakeAnswerLine(std::string_view& line) {
    if (line == ".\r\n") {
        return true;
    }
    if (line.starts_with('.')) {
        line.remove_prefix(1);
    }
    return false;
}
