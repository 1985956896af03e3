#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// An INI text held in memory: parsed from bytes, edited, turned back into bytes. It
// knows nothing of files, so the reader can be tested and fuzzed on its own.
//
// Reading rules:
// - lines end at LF; a CR before the LF belongs to the line end, so CRLF and LF
//   texts read alike;
// - a line whose first non-blank byte is ';' is a comment;
// - a line whose first non-blank byte is '[' starts a section; its name runs to the
//   first ']' (or the line end), blanks around it dropped;
// - any other line holding '=' is a key: the key is the text before the first '=',
//   the value the text after it, blanks around both dropped; values may hold '=';
//   a value that then begins and ends with the same quote (" or ') reads as the
//   text between them, so a written value keeps its surrounding blanks and quotes;
// - section and key names match without regard to ASCII case; the first section and
//   the first key of a name win, as later duplicates are never reached;
// - keys before the first section belong to no section and are never found.
// Blanks are space, tab, CR, VT and FF. Every other byte, code page 932 bytes
// included, is taken as it is.
//
// Editing keeps every line it does not change byte for byte, line ends included, so
// Serialize(Parse(text)) == text. Lines it writes end with CRLF.
class CIniDocument {
public:
    // Longest value a read gives back; longer values are cut to their first bytes.
    static constexpr std::size_t kMaxValueLength = 255;

    CIniDocument() = default;

    // Never fails: every byte sequence is some INI text.
    static CIniDocument Parse(std::string_view bytes);
    std::string Serialize() const;

    // The value of key in section, whole; nothing when the section or key is absent.
    std::optional<std::string_view> Find(std::string_view section, std::string_view key) const;
    // The value cut to kMaxValueLength bytes, or defaultValue when absent.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;

    // Whether a name or value can be written so that it reads back the same: names
    // are not empty, carry no surrounding blanks, no line break and no byte the
    // reader treats as syntax; values hold no line break.
    static bool IsValidSection(std::string_view section);
    static bool IsValidKey(std::string_view key);
    static bool IsValidValue(std::string_view value);

    // Replaces the line of an existing key in place; a new key goes after the last
    // key of its section, a new section at the end of the text. Returns false, and
    // changes nothing, when the name or value cannot be written.
    [[nodiscard]] bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Sets the keys in order; all or nothing.
    [[nodiscard]] bool SetSection(std::string_view section,
                                  const std::vector<std::pair<std::string, std::string>>& entries);

private:
    struct Line {
        std::string text;  // without its line end
        std::string end;   // "\r\n", "\n", or "" for a last line without one
    };

    // Index of the header line of the first section of that name.
    std::optional<std::size_t> FindSection(std::string_view section) const;
    // Index of the first key line of that name in the section headed at line header.
    std::optional<std::size_t> FindKey(std::size_t header, std::string_view key) const;
    void Insert(std::size_t index, std::string text);
    // Set, for names and a value already found writable.
    void SetChecked(std::string_view section, std::string_view key, std::string_view value);

    std::vector<Line> m_lines;
};
