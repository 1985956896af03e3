#include "mime/MimeDecoder.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;

constexpr std::array<std::uint8_t, 256> MakeBase64Table() {
    std::array<std::uint8_t, 256> table{};
    for (int c = 'A'; c <= 'Z'; ++c) {
        table[c] = static_cast<std::uint8_t>(c - 0x41);
    }
    for (int c = 'a'; c <= 'z'; ++c) {
        table[c] = static_cast<std::uint8_t>(c - 0x47);
    }
    for (int c = '0'; c <= '9'; ++c) {
        table[c] = static_cast<std::uint8_t>(c + 4);
    }
    table['+'] = 62;
    table['/'] = 63;
    return table;
}

constexpr std::array<std::uint8_t, 256> kBase64Table = MakeBase64Table();

// Bytes that end a run of plain bytes in single-byte mode: the zero that ends the
// text, LF (which may need a CR) and ESC (which may start a mode switch).
constexpr std::array<bool, 256> MakeJisStopTable() {
    std::array<bool, 256> table{};
    table[0] = true;
    table[kLf] = true;
    table[kEsc] = true;
    return table;
}

constexpr std::array<bool, 256> kJisStop = MakeJisStopTable();

constexpr bool IsJisByte(unsigned char c) {
    return c >= 0x21 && c <= 0x7E;
}

// JIS X 0208 code (j1, j2), both in 0x21..0x7E, to its Shift_JIS bytes.
inline void JisToSjis(unsigned char j1, unsigned char j2, char* out) {
    unsigned s1 = (j1 - 0x21u) / 2 + 0x81u;
    if (s1 > 0x9F) {
        s1 += 0x40;
    }
    unsigned s2;
    if (j1 & 1u) {
        s2 = j2 <= 0x5F ? j2 + 0x1Fu : j2 + 0x20u;
    } else {
        s2 = j2 + 0x7Eu;
    }
    out[0] = static_cast<char>(s1);
    out[1] = static_cast<char>(s2);
}

// Appends size bytes, made of whole units of unit bytes, as far as they fit under
// kDecodeLimit; a unit that does not fit whole is left out. False when something
// was left out, so the caller stops.
inline bool Put(std::string& out, const char* data, std::size_t size, std::size_t unit = 1) {
    const std::size_t room = kDecodeLimit - out.size();
    if (size <= room) {
        out.append(data, size);
        return true;
    }
    out.append(data, room - room % unit);
    return false;
}

}  // namespace

int CMimeDecoder::Base64Value(unsigned char c) {
    return kBase64Table[c];
}

std::string CMimeDecoder::DecodeBase64(std::string_view text) const {
    std::string out;
    if (text.empty()) {
        return out;
    }
    out.reserve(std::min((text.size() + 3) / 4 * 3, kDecodeLimit));

    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    // Groups are decoded into a small chunk and appended chunk by chunk; a zero byte
    // produced ends the result there.
    constexpr std::size_t kChunkGroups = 256;
    char chunk[kChunkGroups * 3];
    while (i < n) {
        std::size_t k = 0;
        for (std::size_t g = 0; g < kChunkGroups && i < n; ++g, i += 4) {
            unsigned p, q, r, s;
            if (n - i >= 4) {
                p = kBase64Table[in[i]];
                q = kBase64Table[in[i + 1]];
                r = kBase64Table[in[i + 2]];
                s = kBase64Table[in[i + 3]];
            } else {
                // A position beyond the end counts as value 0.
                p = kBase64Table[in[i]];
                q = i + 1 < n ? kBase64Table[in[i + 1]] : 0;
                r = i + 2 < n ? kBase64Table[in[i + 2]] : 0;
                s = 0;
            }
            const unsigned char b0 = static_cast<unsigned char>(p * 4 + q / 16);
            const unsigned char b1 = static_cast<unsigned char>(q * 16 + r / 4);
            const unsigned char b2 = static_cast<unsigned char>(r * 64 + s);
            if (b0 == 0 || b1 == 0 || b2 == 0) {
                const unsigned char bytes[3] = {b0, b1, b2};
                for (std::size_t m = 0; bytes[m] != 0; ++m) {
                    chunk[k++] = static_cast<char>(bytes[m]);
                }
                Put(out, chunk, k);
                return out;
            }
            chunk[k] = static_cast<char>(b0);
            chunk[k + 1] = static_cast<char>(b1);
            chunk[k + 2] = static_cast<char>(b2);
            k += 3;
        }
        if (!Put(out, chunk, k)) {
            return out;
        }
    }
    return out;
}

std::string CMimeDecoder::DecodeJis(std::string_view text) const {
    std::string out;
    if (text.empty()) {
        return out;
    }
    // Escape sequences shrink the text and pairs keep their length, so the input size
    // is usually enough; bare LFs can make it grow.
    out.reserve(std::min(text.size() + 2, kDecodeLimit));

    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    const auto* p = begin;
    bool twoByte = false;  // every call starts in single-byte mode

    while (p < end) {
        if (twoByte) {
            // Runs of pairs are converted into a small chunk and appended chunk by chunk.
            constexpr std::size_t kChunk = 256;
            char chunk[kChunk];
            std::size_t k = 0;
            while (end - p >= 2 && IsJisByte(p[0]) && IsJisByte(p[1])) {
                JisToSjis(p[0], p[1], chunk + k);
                k += 2;
                p += 2;
                if (k == kChunk) {
                    if (!Put(out, chunk, k, 2)) {
                        return out;
                    }
                    k = 0;
                }
            }
            if (!Put(out, chunk, k, 2)) {
                return out;
            }
            if (p == end) {
                break;
            }
        } else {
            const auto* run = p;
            while (p < end && !kJisStop[*p]) {
                ++p;
            }
            if (!Put(out, reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run))) {
                return out;
            }
            if (p == end) {
                break;
            }
        }

        const unsigned char c = *p;
        if (c == kEsc && end - p >= 3 && p[2] == 'B' && (p[1] == '$' || p[1] == '(')) {
            twoByte = p[1] == '$';
            p += 3;
        } else if (twoByte && IsJisByte(c)) {
            // The fast path above took every convertible pair, so this one either lacks
            // its second byte (the text ends) or has no conversion (its zero bytes end
            // the result).
            return out;
        } else if (c == kLf && (p == begin || p[-1] != kCr)) {
            if (!Put(out, "\r\n", 2, 2)) {
                return out;
            }
            ++p;
        } else if (c == 0) {
            return out;
        } else {
            const char plain = static_cast<char>(c);
            if (!Put(out, &plain, 1)) {
                return out;
            }
            ++p;
        }
    }
    return out;
}
