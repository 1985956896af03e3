#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// Collects the raw values of the header fields a page shows (Subject, From, To, Cc,
// Date), fed one header line after another. A value is unfolded (its line ends
// dropped, the blanks that began each continuation line kept) and bounded; only the
// first field of each name counts, as mail readers take it.
class CHeaderFields {
public:
    enum Field { kSubject, kFrom, kTo, kCc, kDate, kFieldCount };

    // Bytes kept of one value: an endless folded field costs no more.
    static constexpr std::size_t kValueKept = 4096;

    // Takes one header line with its line end (not the empty line that ends the header).
    void FeedLine(std::string_view line);
    // Forgets every value: the next message begins.
    void Clear();

    // The raw value, without the blanks after the colon; empty when the field is missing.
    std::string_view Value(Field field) const { return m_values[field]; }
    bool Has(Field field) const { return m_seen[field]; }

private:
    std::array<std::string, kFieldCount> m_values;
    std::array<bool, kFieldCount> m_seen{};
    int m_current = -1;  // the field the last line belonged to, -1 for any other
};
