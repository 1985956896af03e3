#include "mime/MimePart.h"

#include <gmime/gmime.h>

#include "mime/Ascii.h"
#include "mime/GMimeLibrary.h"

namespace {

constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kTransferEncoding = "Content-Transfer-Encoding";
constexpr std::string_view kDisposition = "Content-Disposition";

std::string_view Trimmed(std::string_view text) {
    return TrimmedOf(text, " \t\r\n");
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    return lower;
}

// Parser options shared by every part: file names written as raw 8-bit bytes are read
// as UTF-8 when they are, else as code page 932, which old Japanese mailers write.
GMimeParserOptions* Options() {
    static GMimeParserOptions* const options = [] {
        EnsureGMime();
        GMimeParserOptions* made = g_mime_parser_options_new();
        const char* charsets[] = {"UTF-8", "CP932", nullptr};
        g_mime_parser_options_set_fallback_charsets(made, charsets);
        return made;
    }();
    return options;
}

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

bool CMimePart::IsPartField(std::string_view name) {
    return EqualsNoCase(name, kContentType) || EqualsNoCase(name, kTransferEncoding) ||
           EqualsNoCase(name, kDisposition);
}

void CMimePart::TakeField(std::string_view name, std::string_view value) {
    name = Trimmed(name);
    // GMime reads up to a zero byte; a field holds none that matters.
    const std::string text(Trimmed(value.substr(0, value.find('\0'))));
    if (EqualsNoCase(name, kContentType)) {
        TakeContentType(text);
    } else if (EqualsNoCase(name, kTransferEncoding)) {
        const std::string_view token =
            std::string_view(text).substr(0, text.find_first_of(" \t;("));
        encoding = EqualsNoCase(token, "base64")             ? kBase64
                   : EqualsNoCase(token, "quoted-printable") ? kQuotedPrintable
                                                             : kIdentity;
    } else if (EqualsNoCase(name, kDisposition)) {
        TakeDisposition(text);
    }
}

void CMimePart::TakeContentType(const std::string& value) {
    // A type without its subtype is no type at all: the part keeps the default
    // (RFC 2045 says so; GMime would make it application/octet-stream).
    const std::size_t slash = value.find('/');
    if (slash == std::string::npos || value.find(';') < slash) {
        return;
    }
    GMimeContentType* parsed = g_mime_content_type_parse(Options(), value.c_str());
    if (parsed == nullptr) {
        return;
    }
    std::string parsedType = Lower(Text(g_mime_content_type_get_media_type(parsed)));
    std::string parsedSubtype = Lower(Text(g_mime_content_type_get_media_subtype(parsed)));
    if (parsedType.empty() || parsedSubtype.empty()) {
        g_object_unref(parsed);  // "/plain", "text/": no type either
        return;
    }
    type = std::move(parsedType);
    subtype = std::move(parsedSubtype);
    charset = Trimmed(Text(g_mime_content_type_get_parameter(parsed, "charset")));
    boundary = Text(g_mime_content_type_get_parameter(parsed, "boundary"));
    if (fileName.empty()) {
        fileName = Text(g_mime_content_type_get_parameter(parsed, "name"));
    }
    g_object_unref(parsed);
}

void CMimePart::TakeDisposition(const std::string& value) {
    GMimeContentDisposition* parsed = g_mime_content_disposition_parse(Options(), value.c_str());
    if (parsed == nullptr) {
        return;
    }
    attachment = g_mime_content_disposition_is_attachment(parsed);
    const std::string name = Text(g_mime_content_disposition_get_parameter(parsed, "filename"));
    if (!name.empty()) {
        fileName = name;
    }
    g_object_unref(parsed);
}
