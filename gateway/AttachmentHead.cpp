#include "gateway/AttachmentHead.h"

#include <array>

#include "mime/MimePart.h"

namespace {

constexpr std::string_view kOctetStream = "application/octet-stream";
constexpr char kReplacement = '_';
constexpr std::string_view kNoNameStem = "attachment";

struct CInlineType {
    std::string_view type;  // as the part names it
    std::string_view sent;  // as the answer names it
    std::string_view extension;
};
// What a browser shows by itself without running anything. SVG is an image that runs
// script, so it is not here.
constexpr std::array kInlineTypes = {
    CInlineType{"image/png", "image/png", "png"},
    CInlineType{"image/jpeg", "image/jpeg", "jpg"},
    CInlineType{"image/jpg", "image/jpeg", "jpg"},
    CInlineType{"image/pjpeg", "image/jpeg", "jpg"},
    CInlineType{"image/gif", "image/gif", "gif"},
    CInlineType{"image/webp", "image/webp", "webp"},
    CInlineType{"image/bmp", "image/bmp", "bmp"},
    CInlineType{"image/avif", "image/avif", "avif"},
    CInlineType{"image/x-icon", "image/x-icon", "ico"},
    CInlineType{"image/vnd.microsoft.icon", "image/x-icon", "ico"},
    CInlineType{"application/pdf", "application/pdf", "pdf"},
    CInlineType{"text/plain", "text/plain", "txt"},
};

// A charset name that can stand in the field as it is.
constexpr std::size_t kCharsetBytes = 40;
bool IsSafeCharset(std::string_view charset) {
    if (charset.empty() || charset.size() > kCharsetBytes) {
        return false;
    }
    for (char c : charset) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':' ||
                        c == '+';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Reads one UTF-8 character from the front of text; nothing valid gives -1 and takes
// one byte.
char32_t TakeCharacter(std::string_view& text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        text.remove_prefix(1);
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, least = 0x10000;
    }
    if (length == 0 || text.size() < length) {
        text.remove_prefix(1);
        return static_cast<char32_t>(-1);
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            text.remove_prefix(1);
            return static_cast<char32_t>(-1);
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        text.remove_prefix(1);
        return static_cast<char32_t>(-1);
    }
    text.remove_prefix(length);
    return c;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Characters no file name gets: controls (C0, DEL, C1), the marks that reorder text and
// make "txt.exe" look like "exe.txt", zero-width and other invisible format
// characters, line and paragraph separators, and the byte-order mark.
bool IsDropped(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB);
}

// Characters that some file system refuses, and the two that end a quoted string.
bool IsReplaced(char32_t c) {
    return c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' || c == '|' ||
           c == static_cast<char32_t>(-1);
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The end of the longest prefix of text within bytes that does not cut a character.
std::size_t CutUtf8(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text.size();
    }
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) {
        --bytes;
    }
    return bytes;
}

constexpr std::string_view kTrimmed = " .";

}  // namespace

std::string SafeFileName(std::string_view utf8Name, int position, std::string_view extension) {
    std::string name;
    for (std::string_view rest = utf8Name; !rest.empty();) {
        if (IsSeparator(rest.front())) {
            name.clear();  // only the last path element is the file's name
            rest.remove_prefix(1);
            continue;
        }
        const char32_t c = TakeCharacter(rest);
        if (IsDropped(c)) {
            continue;
        }
        AppendUtf8(name, IsReplaced(c) ? static_cast<char32_t>(kReplacement) : c);
    }
    const std::size_t first = name.find_first_not_of(kTrimmed);
    name = first == std::string::npos
               ? std::string()
               : name.substr(first, name.find_last_not_of(kTrimmed) + 1 - first);
    if (name.size() > CAttachmentHead::kNameBytes) {
        // Cut the stem, keep a short extension: the file must still open with its program.
        std::string_view kept;
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0 &&
            name.size() - dot <= CAttachmentHead::kExtensionBytes + 1) {
            kept = std::string_view(name).substr(dot);
        }
        const std::string_view stem = std::string_view(name).substr(0, name.size() - kept.size());
        std::string cut(stem.substr(0, CutUtf8(stem, CAttachmentHead::kNameBytes - kept.size())));
        cut.erase(cut.find_last_not_of(kTrimmed) + 1);
        cut += kept;
        name = std::move(cut);
    }
    if (name.empty() || name.find_first_not_of(kTrimmed) == std::string::npos) {
        name.assign(kNoNameStem);
        name += std::to_string(position);
        if (!extension.empty()) {
            name += '.';
            name += extension;
        }
    }
    return name;
}

std::string AsciiFileName(std::string_view safeName) {
    std::string ascii;
    bool inRun = false;
    for (char c : safeName) {
        if (static_cast<unsigned char>(c) < 0x80 && c != '%') {
            ascii += c;
            inRun = false;
        } else if (!inRun) {
            ascii += kReplacement;
            inRun = true;
        }
    }
    return ascii;
}

CAttachmentHead CAttachmentHead::For(const CMimePart& part, int position) {
    CAttachmentHead head;
    const std::string type = part.type + "/" + part.subtype;
    std::string_view extension;
    head.contentType = kOctetStream;
    for (const CInlineType& known : kInlineTypes) {
        if (type == known.type) {
            head.contentType = known.sent;
            head.shownInline = true;
            extension = known.extension;
            break;
        }
    }
    if (head.shownInline && part.type == "text" && IsSafeCharset(part.charset)) {
        head.contentType += "; charset=" + part.charset;
    }
    head.fileName = SafeFileName(part.fileName, position, extension);
    return head;
}

std::string CAttachmentHead::Disposition() const {
    std::string value(shownInline ? "inline" : "attachment");
    value += "; filename=\"";
    value += AsciiFileName(fileName);
    value += "\"; filename*=UTF-8''";
    constexpr std::string_view kAttrChars = "!#$&+-.^_`|~";
    constexpr std::string_view kHexDigits = "0123456789ABCDEF";
    for (char c : fileName) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            kAttrChars.find(c) != std::string_view::npos) {
            value += c;
        } else {
            value += '%';
            value += kHexDigits[u >> 4];
            value += kHexDigits[u & 0x0F];
        }
    }
    return value;
}

std::string CAttachmentHead::HttpHead(std::string_view extraFields) const {
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: ";
    head += contentType;
    head += "\r\nContent-Disposition: ";
    head += Disposition();
    head += "\r\nCache-Control: no-store\r\nContent-Security-Policy: ";
    head += kPolicy;
    head +=
        "\r\nReferrer-Policy: no-referrer\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Connection: close\r\n";
    head += extraFields;
    head += "\r\n";
    return head;
}
