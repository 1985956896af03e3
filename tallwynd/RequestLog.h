#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "gateway/ListenSocket.h"

// The one line per request that tallwynd writes to standard error:
//   2024-05-01T10:00:00+0900 client=127.0.0.1:50312 setting=1 page="mail 3" outcome=ok bytes=2048
//   ms=35
// Behind a trusted proxy, client is the address the proxy gave and via= the proxy's.
// outcome is ok; refused, followed by reason="..." ("wrong password", "disabled", "no
// such page", "head too large"); throttled, for the first connection closed unanswered
// while its address is shut out; or the failure's message in UTF-8 on one line,
// followed by detail="..." when the failure's cause is known in words ("certificate
// verify failed: self-signed certificate"). A request line is never logged, so neither password can
// reach the log.
class CRequestLog {
public:
    // Local time with its offset from UTC, as in the example above.
    static std::string TimeText(std::time_t when);
    static std::string FormatLine(const CRequestRecord& record, std::string_view timeText);
    // A value as it stands in the line: quoted when it holds a blank, a quote, a
    // backslash or '='; line breaks and other control bytes become blanks.
    static std::string Value(std::string_view utf8);
};
