#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The page text the modern pages show of a header field's raw value (as CHeaderFields
// keeps it): decoded as the subject is decoded, blanks and line ends run together into
// one blank, and bounded. Malformed values show as far as they decode; none fails.

// Page text shown of one name or address, and of a whole field at most.
constexpr std::size_t kNameShown = 128;
constexpr std::size_t kFieldShown = 1024;

// The Subject (or any unstructured field).
std::string FieldText(std::string_view raw);

// The first mailbox of an address field: its display name, or its address when it has
// none (From).
std::string SenderText(std::string_view raw);

// The first mailbox of an address field as the message page shows it: the display
// name followed by the address in angle brackets, or the address alone.
std::string SenderWithAddressText(std::string_view raw);

// Every mailbox of an address field, each as SenderText shows one, ", " between them
// (To, Cc). Group names are left out, their members shown.
std::string AddressListText(std::string_view raw);

// A Date field in the local time zone, short as a list row wants it: the time for a
// date of the day of now ("09:05"), month and day for one of its year ("12/08"), the
// whole date for older or later years ("2024/12/08"). Empty when the date does not
// parse. now is in seconds since 1970.
std::string ShortDateText(std::string_view raw, std::int64_t now);

// A Date field in the local time zone, whole: "2024/12/08 09:05". Empty when it does
// not parse.
std::string FullDateText(std::string_view raw);
