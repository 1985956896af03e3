#pragma once

#include <string>
#include <string_view>

// What a part's header says, as far as showing the part goes. The reader fills one per
// part from its Content-Type, Content-Transfer-Encoding and Content-Disposition fields
// (RFC 2045, 2183, 2231); a part that names none is text/plain, as RFC 2045 says.
class CMimePart {
public:
    enum Encoding {
        kIdentity,  // 7bit, 8bit, binary, and any encoding nobody knows
        kBase64,
        kQuotedPrintable,
    };

    std::string type = "text";  // lower case
    std::string subtype = "plain";
    std::string charset;   // as the mail names it; empty when it names none
    std::string boundary;  // of a multipart
    std::string fileName;  // UTF-8, decoded; from filename=, else name=; empty when none
    Encoding encoding = kIdentity;
    bool attachment = false;  // Content-Disposition: attachment
    // A part of a multipart/related other than its first: a picture or style sheet that
    // the first part uses, never the text to show.
    bool resource = false;
    int depth = 0;  // 0 for the message itself, 1 for the parts of its multipart, ...

    bool Is(std::string_view wantedType, std::string_view wantedSubtype) const {
        return type == wantedType && subtype == wantedSubtype;
    }
    bool IsMultipart() const { return type == "multipart"; }
    // A file rather than text to read: marked as an attachment, or named, or the whole
    // message when that is not text.
    bool IsFile() const {
        return attachment || !fileName.empty() || (depth == 0 && type != "text");
    }

    // Takes one header field, unfolded, by name (any case) and value (what follows the
    // colon). Fields other than the three above are ignored.
    void TakeField(std::string_view name, std::string_view value);
    // True for the names of the fields TakeField takes.
    static bool IsPartField(std::string_view name);

private:
    void TakeContentType(const std::string& value);
    void TakeDisposition(const std::string& value);
};
