#include "mime/TransferDecoder.h"

#include "mime/GMimeLibrary.h"

CTransferDecoder::CTransferDecoder(CMimePart::Encoding encoding) : m_encoding(encoding) {
    EnsureGMime();
    g_mime_encoding_init_decode(&m_state, encoding == CMimePart::kBase64
                                              ? GMIME_CONTENT_ENCODING_BASE64
                                              : GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
}

void CTransferDecoder::Decode(std::string_view in, std::string& out) {
    if (m_encoding == CMimePart::kIdentity) {
        out.append(in);
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + g_mime_encoding_outlen(&m_state, in.size()));
    const std::size_t n = g_mime_encoding_step(&m_state, in.data(), in.size(), out.data() + start);
    out.resize(start + n);
}
