#pragma once

#include <string>
#include <string_view>

class CMimePart;

// The HTTP head of an attachment's download: the type a browser may act on, the file
// name, and the fields that keep anything in the file from running in the gateway's
// origin. Raster images, PDF and plain text keep their type and open in the browser;
// every other type (HTML, SVG, XML, script, and types nobody knows above all) goes as
// application/octet-stream to be saved. Every answer says nosniff and sandboxes the
// document, so that not even a browser's own guess can make it a page of ours.
struct CAttachmentHead {
    // A file name is cut to this many bytes of UTF-8, its extension kept.
    static constexpr std::size_t kNameBytes = 150;
    // Longer extensions are part of the name.
    static constexpr std::size_t kExtensionBytes = 16;
    static constexpr std::string_view kPolicy = "sandbox; default-src 'none'";

    std::string contentType;  // with its charset for text
    bool shownInline = false;
    std::string fileName;  // UTF-8, safe for any file system and for the field

    // The head for part, the position-th part of its message.
    static CAttachmentHead For(const CMimePart& part, int position);
    // The whole HTTP head, ending in its empty line; extraFields (each with its CR LF)
    // go before it.
    std::string HttpHead(std::string_view extraFields = {}) const;
    // Content-Disposition's value (RFC 6266): an ASCII file name for old browsers and
    // filename*=UTF-8''... with the real one.
    std::string Disposition() const;
};

// A file name that can neither leave the download folder nor split a header field: no
// path (only what follows the last separator), no control, format or bidirectional
// character, none of the characters file systems forbid, no leading or trailing dots
// and blanks, bytes that are not UTF-8 replaced, at most kNameBytes. When nothing is
// left: "attachment" with the part's position, and extension if not empty.
std::string SafeFileName(std::string_view utf8Name, int position, std::string_view extension);

// The name with every run of bytes beyond ASCII made one "_", and "%" too (some
// browsers would decode it): the fall-back filename="..." for browsers without RFC 5987.
std::string AsciiFileName(std::string_view safeName);
