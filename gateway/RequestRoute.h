#pragma once

#include <string>
#include <string_view>

#include "settings/Setting.h"

// What the path of a request line asks for. Page addresses look like
// "/" + NNN + public password + "toplist" or "/" + NNN + public password + "mail" + MMM
// (all the digits from message 1000 on); the modern pages page through the list with
// "/" + NNN + public password + "toplist" + the message number to start from. Paths are
// taken exactly as sent: no percent-decoding, no query string, no trailing slash.
//
// The modern pages' links to a message may add a token of its unique id and the
// position of one of its parts: "mail" + MMM + ["." + token] + ["-" + part], an
// attachment's address when the part is there. No classic address ends so.
struct CRequestRoute {
    enum Page { kRefused, kList, kMail, kAttachment };

    Page page = kRefused;
    std::string settingText;  // the first three bytes of the path, as sent
    int settingNumber = -1;   // their decimal value; -1 when the path gave none
    std::string passText;     // the bytes between the setting number and the page word
    int messageNumber = 0;    // the single-mail page's message number
    // Where a later list page starts: the message number after "toplist" (saturated,
    // perhaps out of the mailbox's range); 0 for the first page.
    int listFrom = 0;
    bool paged = false;  // the address carried that number
    // The token after the message number as sent (perhaps not one that any id makes);
    // empty with hasToken false when the address carried none.
    std::string token;
    bool hasToken = false;
    int part = 0;  // an attachment's position among the message's parts (from 1)
    // Why a request was refused, for the log only: "no such page", "disabled" or
    // "wrong password"; empty when it was not.
    std::string_view refusal;

    bool Refused() const { return page == kRefused; }
    // Addresses that only the modern pages write.
    bool ModernOnly() const { return paged || hasToken || page == kAttachment; }
};

// Splits a request line ("GET /001secrettoplist HTTP/1.1\r\n") into its parts without
// looking at the settings. A line that does not fit the address scheme comes back
// refused; settingNumber is still filled when the path got that far.
CRequestRoute ParseRequestLine(std::string_view requestLine);

// ParseRequestLine, then the access check: the number must name a loaded setting 1 or 2
// that is enabled and whose WEB_PASS equals the password text. Anything else is refused
// alike, so a browser cannot tell a wrong password from a missing setting; only
// refusal tells them apart. A disabled setting is "disabled" whatever the password, so
// that not even the log shows a right guess at it.
CRequestRoute RouteRequest(std::string_view requestLine, const CSettingTable& settings);

// Byte-wise equality whose time depends only on the lengths, never on the contents.
bool ConstantTimeEquals(std::string_view a, std::string_view b);
