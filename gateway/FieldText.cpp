#include "gateway/FieldText.h"

#include <glib.h>
#include <gmime/gmime.h>

#include <memory>
#include <vector>

#include "gateway/ListPage.h"
#include "mime/Ascii.h"
#include "mime/GMimeLibrary.h"
#include "mime/HeaderText.h"

namespace {

constexpr std::string_view kLineBlanks = " \t\r\n";
constexpr std::string_view kListGap = ", ";
constexpr std::string_view kMore = "...";
// Mailboxes shown of one field; a list of hundreds says no more for it.
constexpr std::size_t kMailboxesShown = 20;

struct CMailbox {
    std::string name;     // raw, quotes and escapes undone
    std::string address;  // raw
};

// Decoded page text of raw bytes, each run of blanks and line ends one blank.
std::string DecodedText(std::string_view raw, std::size_t limit) {
    CHeaderTextDecoder decoder;
    std::string decoded;
    decoder.Feed(raw, decoded);
    decoder.Finish(decoded);
    std::string text;
    bool blank = false;
    for (const char c : decoded) {
        if (kLineBlanks.find(c) != std::string_view::npos) {
            blank = !text.empty();
            continue;
        }
        if (blank) {
            text += ' ';
            blank = false;
        }
        text += c;
    }
    return std::string(CListPage::CutSubject(text, static_cast<int>(limit)));
}

// Splits an address field into mailboxes: "Name <a@b>", "a@b", "\"Quoted, Name\" <a@b>",
// comments left out, groups ("team: a@b, c@d;") opened to their members.
std::vector<CMailbox> Mailboxes(std::string_view raw) {
    std::vector<CMailbox> boxes;
    CMailbox box;
    std::string phrase;
    bool angle = false;  // inside <...>
    bool haveAngle = false;
    const auto end = [&] {
        if (haveAngle) {
            box.name = std::string(TrimmedOf(phrase, kLineBlanks));
        } else {
            for (const char c : phrase) {
                if (kLineBlanks.find(c) == std::string_view::npos) {
                    box.address += c;
                }
            }
        }
        if (!box.name.empty() || !box.address.empty()) {
            boxes.push_back(std::move(box));
        }
        box = CMailbox();
        phrase.clear();
        haveAngle = false;
    };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (angle) {
            if (c == '>') {
                angle = false;
            } else if (kLineBlanks.find(c) == std::string_view::npos) {
                box.address += c;
            }
        } else if (c == '"') {
            for (++i; i < raw.size() && raw[i] != '"'; ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) {
                    ++i;
                }
                phrase += raw[i];
            }
        } else if (c == '(') {
            for (int depth = 1; ++i < raw.size() && depth > 0;) {
                if (raw[i] == '\\') {
                    ++i;
                } else if (raw[i] == '(') {
                    ++depth;
                } else if (raw[i] == ')') {
                    --depth;
                }
            }
            --i;
            phrase += ' ';
        } else if (c == '<') {
            angle = true;
            haveAngle = true;
        } else if (c == ',' || c == ';') {
            end();
        } else if (c == ':' && !haveAngle) {
            phrase.clear();  // a group's name
        } else {
            phrase += c;
        }
        if (boxes.size() > kMailboxesShown) {
            break;
        }
    }
    end();
    return boxes;
}

std::string MailboxText(const CMailbox& box) {
    std::string text = DecodedText(box.name, kNameShown);
    if (text.empty()) {
        text = DecodedText(box.address, kNameShown);
    }
    return text;
}

struct CDateTimeUnref {
    void operator()(GDateTime* date) const { g_date_time_unref(date); }
};
using CDateTime = std::unique_ptr<GDateTime, CDateTimeUnref>;

// The date of a Date field in the local time zone; nothing when it does not parse.
CDateTime LocalDate(std::string_view raw) {
    EnsureGMime();
    const std::string text(raw);
    const CDateTime parsed(g_mime_utils_header_decode_date(text.c_str()));
    if (!parsed) {
        return nullptr;
    }
    return CDateTime(g_date_time_to_local(parsed.get()));
}

std::string Formatted(GDateTime* date, const char* format) {
    gchar* text = g_date_time_format(date, format);
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

}  // namespace

std::string FieldText(std::string_view raw) {
    return DecodedText(raw, kFieldShown);
}

std::string SenderText(std::string_view raw) {
    const std::vector<CMailbox> boxes = Mailboxes(raw);
    return boxes.empty() ? std::string() : MailboxText(boxes.front());
}

std::string SenderWithAddressText(std::string_view raw) {
    const std::vector<CMailbox> boxes = Mailboxes(raw);
    if (boxes.empty()) {
        return {};
    }
    std::string name = DecodedText(boxes.front().name, kNameShown);
    std::string address = DecodedText(boxes.front().address, kNameShown);
    if (name.empty() || address.empty()) {
        return name + address;
    }
    return name + " <" + address + ">";
}

std::string AddressListText(std::string_view raw) {
    const std::vector<CMailbox> boxes = Mailboxes(raw);
    std::string text;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const std::string one = MailboxText(boxes[i]);
        if (i == kMailboxesShown || text.size() + kListGap.size() + one.size() > kFieldShown) {
            text += kListGap;
            text += kMore;
            break;
        }
        if (!text.empty()) {
            text += kListGap;
        }
        text += one;
    }
    return text;
}

std::string ShortDateText(std::string_view raw, std::int64_t now) {
    const CDateTime date = LocalDate(raw);
    if (!date) {
        return {};
    }
    const CDateTime today(g_date_time_new_from_unix_local(now));
    if (!today) {
        return Formatted(date.get(), "%Y/%m/%d");
    }
    const int year = g_date_time_get_year(date.get());
    if (year != g_date_time_get_year(today.get())) {
        return Formatted(date.get(), "%Y/%m/%d");
    }
    if (g_date_time_get_day_of_year(date.get()) != g_date_time_get_day_of_year(today.get())) {
        return Formatted(date.get(), "%m/%d");
    }
    return Formatted(date.get(), "%H:%M");
}

std::string FullDateText(std::string_view raw) {
    const CDateTime date = LocalDate(raw);
    return date ? Formatted(date.get(), "%Y/%m/%d %H:%M") : std::string();
}
