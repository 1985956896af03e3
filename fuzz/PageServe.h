#pragma once

#include <string>
#include <string_view>

#include "settings/Setting.h"

namespace fuzz {

// "127.0.0.1:PORT" of the in-memory mail server, for a setting's MAIL_SERVER. The
// port stays the same for the whole run.
std::string MailServerAddress();

// Serves one request line through CListenSocket::HandleRequest, with the browser on
// one end of a socket pair and, as the mail server, a loopback peer that sends
// mailStream as it stands (reading and dropping the commands it gets) and then ends
// its side, so the client never waits for it. Returns every byte the browser got.
// Aborts when the request takes longer than it could without waiting on a time-out.
std::string ServeRequest(const CSettingTable& settings, std::string_view requestLine,
                         std::string_view mailStream);

// What a served page shows between its head and its footer: everything after "<BODY>",
// without the footer when the page ends with it. Aborts when there is no "<BODY>".
std::string_view PageBody(std::string_view served);

// Loads setting number from no file, which marks it loaded with its defaults.
void LoadDefaults(CSetting& setting, int number);

// Makes setting 1 of settings the one the page fuzzers serve: defaults, enabled, public
// password "secret", the in-memory mail server. Returns it for the fuzzer's own values.
CSetting& ServedSetting(CSettingTable& settings);

// Replaces the first kLongLineMark in text with kLongLineBytes bytes of text, so that
// short inputs can carry a reply line longer than the POP3 reply buffer. Only the first:
// inputs full of marks would make every run slow.
inline constexpr std::string_view kLongLineMark = "\xFF\xFF\xFF\xFF";
inline constexpr std::size_t kLongLineBytes = 70000;
std::string ExpandLongLines(std::string_view text);

}  // namespace fuzz
