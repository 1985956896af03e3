#include "settings/PassCoder.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace {

// Filler characters run from 'A' over kFillerRange codes, so 'A' to 'y'.
constexpr char kFillerFirst = 'A';
constexpr unsigned kFillerRange = 57;

int NormalEntry(int entry) {
    const int e = entry % CPassCoder::kEntries;
    return e < 0 ? e + CPassCoder::kEntries : e;
}

std::uint_fast32_t FreshSeed() {
    static std::atomic<std::uint_fast32_t> counter{0};
    const auto ticks =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t mixed =
        ticks ^ (ticks >> 32) ^ (counter.fetch_add(1) * UINT64_C(0x9E3779B97F4A7C15));
    return static_cast<std::uint_fast32_t>(mixed ^ (mixed >> 32));
}

}  // namespace

CPassCoder::CPassCoder() : m_random(FreshSeed()) {
    for (int e = 0; e < kEntries; ++e) {
        m_mask[e] = static_cast<unsigned char>((1u << m_shift[e]) - 1);
    }
}

int CPassCoder::EntryOf(unsigned char code) {
    return NormalEntry(static_cast<signed char>(code));
}

void CPassCoder::EncodeByte(unsigned char c, int entry, unsigned char& high,
                            unsigned char& low) const {
    const int e = NormalEntry(entry);
    // The shift copies the sign bit in, so the high part keeps the byte's upper bits.
    const int upper = static_cast<signed char>(c) >> m_shift[e];
    high = static_cast<unsigned char>(upper + m_highOffset[e]);
    low = static_cast<unsigned char>((c & m_mask[e]) + m_lowOffset[e]);
}

unsigned char CPassCoder::DecodeByte(unsigned char high, unsigned char low, int entry) const {
    const int e = NormalEntry(entry);
    const unsigned upper = static_cast<unsigned char>(high - m_highOffset[e]);
    const unsigned lower = static_cast<unsigned char>(low - m_lowOffset[e]) & m_mask[e];
    return static_cast<unsigned char>((upper << m_shift[e]) | lower);
}

std::string CPassCoder::Encode(std::string_view password) {
    password = password.substr(0, kMaxPasswordLength);
    std::string form(kEncodedLength, '\0');
    for (char& c : form) {
        c = static_cast<char>(kFillerFirst + m_random() % kFillerRange);
    }
    form[kLengthMarkPos] = static_cast<char>(kFillerFirst + password.size());
    for (std::size_t k = 0; k < password.size(); ++k) {
        // The entry comes from the filler at the far end, read before the pair is
        // written; for up to 33 bytes the pairs never reach it.
        const int e = EntryOf(static_cast<unsigned char>(form[kEncodedLength - 1 - k]));
        unsigned char high;
        unsigned char low;
        EncodeByte(static_cast<unsigned char>(password[k]), e, high, low);
        form[2 * k] = static_cast<char>(high);
        form[2 * k + 1] = static_cast<char>(low);
    }
    return form;
}

std::string CPassCoder::Decode(std::string_view stored) const {
    if (stored.size() < static_cast<std::size_t>(kEncodedLength)) {
        return {};
    }
    const int n = static_cast<signed char>(stored[kLengthMarkPos]) - kFillerFirst;
    if (n < 0 || n > kMaxPasswordLength) {
        return {};
    }
    std::string password;
    password.reserve(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        const int e = EntryOf(static_cast<unsigned char>(stored[kEncodedLength - 1 - k]));
        password += static_cast<char>(DecodeByte(static_cast<unsigned char>(stored[2 * k]),
                                                 static_cast<unsigned char>(stored[2 * k + 1]), e));
    }
    return password;
}

std::string CPassCoder::EncodeLong(std::string_view text) {
    std::string form = Encode(text.substr(0, kMaxPasswordLength));
    for (std::size_t at = kMaxPasswordLength; at < text.size(); at += kMaxPasswordLength) {
        form += Encode(text.substr(at, kMaxPasswordLength));
    }
    return form;
}

std::string CPassCoder::DecodeLong(std::string_view stored) const {
    constexpr auto kPiece = static_cast<std::size_t>(kEncodedLength);
    if (stored.empty() || stored.size() % kPiece != 0) {
        return {};
    }
    std::string text;
    for (std::size_t at = 0; at < stored.size(); at += kPiece) {
        const std::string_view piece = stored.substr(at, kPiece);
        const int n = static_cast<signed char>(piece[kLengthMarkPos]) - kFillerFirst;
        // Only the last piece may be short: a short one inside means a damaged value.
        const bool last = at + kPiece == stored.size();
        if (n < 0 || n > kMaxPasswordLength || (!last && n != kMaxPasswordLength)) {
            return {};
        }
        text += Decode(piece);
    }
    return text;
}
