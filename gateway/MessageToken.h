#pragma once

#include <optional>
#include <string>
#include <string_view>

// Links of the modern pages name a message by its number and, where the server keeps
// unique ids (UIDL, RFC 1939), by a token made from its id too: POP3 numbers hold for
// one session only, and a message deleted by another program shifts every later one.
//
// The token is the first kTokenLength hex digits of the id's SHA-256: short enough for
// an address, and the id (up to 70 bytes of any printable ASCII) needs no escaping.

constexpr std::size_t kTokenLength = 12;

std::string MessageToken(std::string_view uniqueId);

// Whether text has the token's form at all; a token that has not can match no message.
bool IsTokenForm(std::string_view text);

// One message's line of a UIDL answer: "n id" in the listing, "+OK n id" for UIDL n.
struct CUidlLine {
    int number = 0;
    std::string_view uniqueId;
};

// Reads a listing line ("1 whqtswO00WBw418f9t5JxYwZ\r\n"); nothing when it is not one.
std::optional<CUidlLine> ParseUidlLine(std::string_view line);
// Reads the status line of UIDL n; nothing when it is "-ERR" or not one.
std::optional<CUidlLine> ParseUidlReply(std::string_view reply);
