#include "settings/IniDocument.h"

#include <algorithm>

#include "mime/Ascii.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

constexpr std::string_view kBlanks = " \t\r\v\f";

bool IsBlank(char c) {
    return c != '\0' && kBlanks.find(c) != std::string_view::npos;
}

std::string_view Trim(std::string_view text) {
    return TrimmedOf(text, kBlanks);
}

// A value that begins and ends with the same quote reads as the text between them,
// as in the private-profile files; the writer quotes values that would otherwise lose
// their surrounding blanks or their own quotes.
bool IsQuoted(std::string_view value) {
    return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
           value.back() == value.front();
}

std::string_view Unquote(std::string_view value) {
    return IsQuoted(value) ? value.substr(1, value.size() - 2) : value;
}

std::string StoredValue(std::string_view value) {
    const bool quote =
        !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || IsQuoted(value));
    if (!quote) {
        return std::string(value);
    }
    std::string stored;
    stored.reserve(value.size() + 2);
    stored += '"';
    stored += value;
    stored += '"';
    return stored;
}

enum class LineKind { Blank, Comment, Section, Key, Other };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name
    std::string_view value;  // key value
};

ParsedLine ParseLine(std::string_view text) {
    ParsedLine line;
    const std::string_view body = Trim(text);
    if (body.empty()) {
        line.kind = LineKind::Blank;
    } else if (body.front() == ';') {
        line.kind = LineKind::Comment;
    } else if (body.front() == '[') {
        line.kind = LineKind::Section;
        std::string_view name = body.substr(1);
        name = name.substr(0, name.find(']'));
        line.name = Trim(name);
    } else if (const auto equals = body.find('='); equals != std::string_view::npos) {
        line.kind = LineKind::Key;
        line.name = Trim(body.substr(0, equals));
        line.value = Unquote(Trim(body.substr(equals + 1)));
    }
    return line;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// A name reads back the same only without surrounding blanks and line breaks.
bool IsPlainName(std::string_view name) {
    return !name.empty() && Trim(name).size() == name.size() && !HasLineBreak(name);
}

}  // namespace

CIniDocument CIniDocument::Parse(std::string_view bytes) {
    CIniDocument document;
    while (!bytes.empty()) {
        Line line;
        const auto lf = bytes.find('\n');
        if (lf == std::string_view::npos) {
            line.text = std::string(bytes);
            bytes = {};
        } else {
            std::string_view text = bytes.substr(0, lf);
            if (!text.empty() && text.back() == '\r') {
                text.remove_suffix(1);
                line.end = "\r\n";
            } else {
                line.end = "\n";
            }
            line.text = std::string(text);
            bytes.remove_prefix(lf + 1);
        }
        document.m_lines.push_back(std::move(line));
    }
    return document;
}

std::string CIniDocument::Serialize() const {
    std::string bytes;
    for (const Line& line : m_lines) {
        bytes += line.text;
        bytes += line.end;
    }
    return bytes;
}

std::optional<std::size_t> CIniDocument::FindSection(std::string_view section) const {
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const ParsedLine line = ParseLine(m_lines[i].text);
        if (line.kind == LineKind::Section && EqualsNoCase(line.name, section)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> CIniDocument::FindKey(std::size_t header, std::string_view key) const {
    for (std::size_t i = header + 1; i < m_lines.size(); ++i) {
        const ParsedLine line = ParseLine(m_lines[i].text);
        if (line.kind == LineKind::Section) {
            break;
        }
        if (line.kind == LineKind::Key && EqualsNoCase(line.name, key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> CIniDocument::Find(std::string_view section,
                                                   std::string_view key) const {
    const auto header = FindSection(section);
    if (!header) {
        return std::nullopt;
    }
    const auto index = FindKey(*header, key);
    if (!index) {
        return std::nullopt;
    }
    return ParseLine(m_lines[*index].text).value;
}

std::string CIniDocument::GetString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
    const auto value = Find(section, key);
    if (!value) {
        return std::string(defaultValue);
    }
    return std::string(value->substr(0, kMaxValueLength));
}

bool CIniDocument::IsValidSection(std::string_view section) {
    return IsPlainName(section) && section.find(']') == std::string_view::npos;
}

bool CIniDocument::IsValidKey(std::string_view key) {
    return IsPlainName(key) && key.find('=') == std::string_view::npos && key.front() != ';' &&
           key.front() != '[';
}

bool CIniDocument::IsValidValue(std::string_view value) {
    return !HasLineBreak(value);
}

void CIniDocument::Insert(std::size_t index, std::string text) {
    // Only the last line can lack a line end; it needs one once a line follows it.
    if (index > 0 && m_lines[index - 1].end.empty()) {
        m_lines[index - 1].end = kLineEnd;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(index),
                   Line{std::move(text), std::string(kLineEnd)});
}

bool CIniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (!IsValidSection(section) || !IsValidKey(key) || !IsValidValue(value)) {
        return false;
    }
    SetChecked(section, key, value);
    return true;
}

void CIniDocument::SetChecked(std::string_view section, std::string_view key,
                              std::string_view value) {
    std::string text = std::string(key) + "=" + StoredValue(value);

    const auto header = FindSection(section);
    if (!header) {
        std::string headerLine = "[";
        headerLine += section;
        headerLine += ']';
        Insert(m_lines.size(), std::move(headerLine));
        Insert(m_lines.size(), std::move(text));
        return;
    }
    if (const auto index = FindKey(*header, key)) {
        m_lines[*index].text = std::move(text);
        return;
    }
    // After the section's last line that is not blank or a comment, so that comments
    // heading the next section stay with it.
    std::size_t last = *header;
    for (std::size_t i = *header + 1; i < m_lines.size(); ++i) {
        const LineKind kind = ParseLine(m_lines[i].text).kind;
        if (kind == LineKind::Section) {
            break;
        }
        if (kind != LineKind::Blank && kind != LineKind::Comment) {
            last = i;
        }
    }
    Insert(last + 1, std::move(text));
}

bool CIniDocument::SetSection(std::string_view section,
                              const std::vector<std::pair<std::string, std::string>>& entries) {
    if (!IsValidSection(section)) {
        return false;
    }
    for (const auto& [key, value] : entries) {
        if (!IsValidKey(key) || !IsValidValue(value)) {
            return false;
        }
    }
    for (const auto& [key, value] : entries) {
        SetChecked(section, key, value);
    }
    return true;
}
