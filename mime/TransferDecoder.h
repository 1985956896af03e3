#pragma once

#include <string>
#include <string_view>

#include <gmime/gmime-encodings.h>

#include "mime/MimePart.h"

// Undoes a part's Content-Transfer-Encoding one piece at a time, through GMime's
// streaming decoders: a base64 group or a quoted-printable escape cut by the end of a
// piece is finished with the next. Broken input gives what decodes (GMime passes over
// bytes outside the base64 alphabet and leaves a broken "=XY" as it stands); a
// quoted-printable soft line break joins its line to the next.
class CTransferDecoder {
public:
    explicit CTransferDecoder(CMimePart::Encoding encoding);

    // Appends the bytes that in decodes to, as far as they are complete, to out.
    void Decode(std::string_view in, std::string& out);

private:
    CMimePart::Encoding m_encoding;
    GMimeEncoding m_state{};
};
