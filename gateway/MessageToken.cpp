#include "gateway/MessageToken.h"

#include <glib.h>

#include "mime/Ascii.h"
#include "mime/DecimalValue.h"

namespace {

constexpr std::string_view kHex = "0123456789abcdef";
// RFC 1939: 1 to 70 characters in the range 0x21 to 0x7E.
constexpr std::size_t kMaxIdLength = 70;

bool IsIdByte(char c) {
    return c >= 0x21 && c <= 0x7E;
}

}  // namespace

std::string MessageToken(std::string_view uniqueId) {
    gchar* digest = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(uniqueId.data()), uniqueId.size());
    std::string token(digest, kTokenLength);
    g_free(digest);
    return token;
}

bool IsTokenForm(std::string_view text) {
    return text.size() == kTokenLength && text.find_first_not_of(kHex) == std::string_view::npos;
}

std::optional<CUidlLine> ParseUidlLine(std::string_view line) {
    line = TrimmedOf(line, " \t\r\n");
    const std::size_t gap = line.find_first_of(" \t");
    if (gap == 0 || gap == std::string_view::npos ||
        line.substr(0, gap).find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    CUidlLine parsed;
    parsed.number = DecimalValue(line.substr(0, gap));
    parsed.uniqueId = TrimmedOf(line.substr(gap), " \t");
    // Servers are held to the id's form loosely: up to the next blank, bounded.
    parsed.uniqueId = parsed.uniqueId.substr(0, parsed.uniqueId.find_first_of(" \t"));
    if (parsed.number <= 0 || parsed.uniqueId.empty() || parsed.uniqueId.size() > kMaxIdLength) {
        return std::nullopt;
    }
    for (char c : parsed.uniqueId) {
        if (!IsIdByte(c)) {
            return std::nullopt;
        }
    }
    return parsed;
}

std::optional<CUidlLine> ParseUidlReply(std::string_view reply) {
    constexpr std::string_view kOk = "+OK";
    if (!reply.starts_with(kOk)) {
        return std::nullopt;
    }
    return ParseUidlLine(TrimmedOf(reply.substr(kOk.size()), " \t"));
}
