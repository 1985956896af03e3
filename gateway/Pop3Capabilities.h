#pragma once

#include <algorithm>
#include <string_view>

#include "mime/Ascii.h"

// What a POP3 server said it can do in its answer to CAPA (RFC 2449), read loosely:
// the first word of each line in any case, unknown words and their arguments ignored.
struct CPop3Capabilities {
    bool answered = false;    // CAPA was answered "+OK": asking again may tell more
    bool pipelining = false;  // PIPELINING: commands may go ahead of their answers
    bool utf8 = false;        // UTF8 (RFC 6856): raw UTF-8 headers on request
    bool stls = false;        // STLS (RFC 2595)
    bool uidl = false;        // UIDL: each message has an id that outlives the session
    bool xoauth2 = false;     // SASL naming XOAUTH2: AUTH with an OAuth 2.0 token

    // Takes one line of the answer (after its status line), with or without its end.
    constexpr void TakeLine(std::string_view line) {
        const std::size_t end = line.find_first_of(" \t\r\n");
        const std::string_view word = line.substr(0, end);
        if (EqualsNoCase(word, "PIPELINING")) {
            pipelining = true;
        } else if (EqualsNoCase(word, "UTF8")) {
            utf8 = true;
        } else if (EqualsNoCase(word, "STLS")) {
            stls = true;
        } else if (EqualsNoCase(word, "UIDL")) {
            uidl = true;
        } else if (EqualsNoCase(word, "SASL")) {
            xoauth2 = xoauth2 || NamesMechanism(line.substr(word.size()), "XOAUTH2");
        }
    }

private:
    // Whether a list of SASL mechanisms, between blanks, names mechanism in any case.
    static constexpr bool NamesMechanism(std::string_view list, std::string_view mechanism) {
        for (;;) {
            const std::size_t start = list.find_first_not_of(" \t\r\n");
            if (start == std::string_view::npos) {
                return false;
            }
            list.remove_prefix(start);
            const std::size_t end = std::min(list.find_first_of(" \t\r\n"), list.size());
            if (EqualsNoCase(list.substr(0, end), mechanism)) {
                return true;
            }
            list.remove_prefix(end);
        }
    }
};
