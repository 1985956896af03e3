#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Collects an HTTP request head from the pieces the intake reads (each at most
// kLineBufferSize - 1 bytes, ending at LF or cut there when the line is longer), keeps
// the latest line that begins "GET /" and sees the empty line ("\r\n", or "\n" from a
// client that ends its lines with LF alone) that ends the head. A piece that continues a cut line
// is not a line of its own: it can neither start a "GET /" line nor end the head.
class CRequestHead {
public:
    // The intake reads request lines into buffers of this size.
    static constexpr int kLineBufferSize = 1024;
    // A head larger than this is dropped without an answer, so that no client can hold
    // the server with header lines that never end.
    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

    enum Result { kMore, kComplete, kTooLarge };

    Result Feed(std::string_view piece);

    // The captured "GET /" line (its first piece when it was longer than a buffer),
    // with its line end; empty when there was none.
    const std::string& RequestLine() const { return m_requestLine; }
    // The values of the X-Forwarded-For and Forwarded fields, each field's lines
    // joined by commas as one list, line ends left in; empty when there was none.
    // Bounded by kMaxHeadBytes like the head.
    const std::string& XForwardedFor() const { return m_xForwardedFor; }
    const std::string& Forwarded() const { return m_forwarded; }

private:
    std::string m_requestLine;
    std::string m_xForwardedFor;
    std::string m_forwarded;
    std::string* m_field = nullptr;  // the field that a cut line goes on with
    std::size_t m_total = 0;
    bool m_atLineStart = true;
};
