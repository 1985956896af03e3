#include "mime/HeaderFields.h"

#include <algorithm>

#include "mime/Ascii.h"

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kNames[CHeaderFields::kFieldCount] = {"Subject", "From", "To", "Cc",
                                                                 "Date"};

std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return line;
}

}  // namespace

void CHeaderFields::FeedLine(std::string_view line) {
    line = WithoutLineEnd(line);
    if (line.starts_with(' ') || line.starts_with('\t')) {
        if (m_current >= 0) {
            std::string& value = m_values[static_cast<std::size_t>(m_current)];
            value.append(line.substr(0, kValueKept - std::min(kValueKept, value.size())));
        }
        return;
    }
    m_current = -1;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    const std::string_view name = TrimmedOf(line.substr(0, colon), kBlanks);
    for (int field = 0; field < kFieldCount; ++field) {
        if (EqualsNoCase(name, kNames[field]) && !m_seen[static_cast<std::size_t>(field)]) {
            m_seen[static_cast<std::size_t>(field)] = true;
            std::string_view value = line.substr(colon + 1);
            value.remove_prefix(std::min(value.size(), value.find_first_not_of(kBlanks)));
            m_values[static_cast<std::size_t>(field)].assign(value.substr(0, kValueKept));
            m_current = field;
            return;
        }
    }
}

void CHeaderFields::Clear() {
    for (std::string& value : m_values) {
        value.clear();
    }
    m_seen.fill(false);
    m_current = -1;
}
