#include "mime/HtmlText.h"

#include <mutex>

#include <iconv.h>
#include <libxml/HTMLparser.h>
#include <libxml/parserInternals.h>

#include "mime/Ascii.h"
#include "mime/IconvRun.h"

namespace {

constexpr std::string_view kNoBreakSpace = "\xC2\xA0";
constexpr std::string_view kLineEnd = "\r\n";
// Text of a line, a link's address or its text kept before it goes out or is cut.
constexpr std::size_t kLineFlush = 4096;
constexpr std::size_t kLinkLimit = 2048;

const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

constexpr std::string_view kBlocks[] = {
    "p",      "div",    "tr",      "li",    "ul",     "ol",         "dl",      "dt",
    "dd",     "h1",     "h2",      "h3",    "h4",     "h5",         "h6",      "table",
    "hr",     "pre",    "address", "form",  "center", "blockquote", "section", "article",
    "header", "footer", "nav",     "aside", "main",   "figure",     "caption", "fieldset",
};
constexpr std::string_view kDropped[] = {"script", "style", "head", "title", "template"};

template <std::size_t N>
bool IsOneOf(std::string_view name, const std::string_view (&names)[N]) {
    for (const std::string_view candidate : names) {
        if (EqualsNoCase(name, candidate)) {
            return true;
        }
    }
    return false;
}

std::string_view View(const xmlChar* text) {
    return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text))
                           : std::string_view();
}

// HTML's white space.
constexpr std::string_view kBlanks = " \t\r\n\f";

bool IsBlank(char c) {
    return c != '\0' && kBlanks.find(c) != std::string_view::npos;
}

std::string_view Trimmed(std::string_view text) {
    return TrimmedOf(text, kBlanks);
}

void InitLibxml() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

}  // namespace

struct CHtmlText::CState {
    htmlParserCtxtPtr parser = nullptr;
    iconv_t toUtf8 = kNoIconv;  // code page 932 to UTF-8, for the parser
    std::string pending;        // a lead byte whose trail byte is in the next piece
    std::string utf8;
    CPageTextConverter toPage{"UTF-8"};
    std::string* out = nullptr;  // where the text goes during a call
    bool stopped = false;

    std::string line;       // UTF-8 text of the current line not yet given
    bool lineEmpty = true;  // nothing but blanks on the current line so far
    bool blank = false;     // a blank is due before the next text
    int dropped = 0;        // inside script, style, head, ...
    int pre = 0;            // inside <pre>
    bool inLink = false;
    std::string href;
    std::string linkText;

    void Flush() {
        toPage.Convert(line, *out);
        line.clear();
    }
    void EndLine() {
        line += kLineEnd;
        Flush();
        lineEmpty = true;
        blank = false;
    }
    // A block starts or ends: the text goes on at the start of a line.
    void BreakLine() {
        if (!lineEmpty) {
            EndLine();
        }
        blank = false;
    }
    void Append(std::string_view text) {
        if (blank && !lineEmpty) {
            line += ' ';
            if (inLink && linkText.size() < kLinkLimit) {
                linkText += ' ';
            }
        }
        blank = false;
        line += text;
        lineEmpty = false;
        if (inLink && linkText.size() < kLinkLimit) {
            linkText.append(text.substr(0, kLinkLimit - linkText.size()));
        }
        if (line.size() >= kLineFlush) {
            Flush();
        }
    }
    void Text(std::string_view text) {
        if (dropped > 0) {
            return;
        }
        std::size_t start = 0;  // of the run of text not yet appended
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool noBreak = text.substr(i).starts_with(kNoBreakSpace);
            if (!IsBlank(text[i]) && !noBreak) {
                continue;
            }
            if (i > start) {
                Append(text.substr(start, i - start));
            }
            if (noBreak) {
                Append(" ");
                ++i;
            } else if (pre > 0 && text[i] == '\n') {
                EndLine();
            } else if (pre > 0 && text[i] != '\r') {
                Append(text.substr(i, 1));
            } else {
                blank = true;
            }
            start = i + 1;
        }
        if (start < text.size()) {
            Append(text.substr(start));
        }
    }
    void EndLink() {
        inLink = false;
        const std::string_view address = Trimmed(href);
        const std::string_view shown = Trimmed(linkText);
        if (address.empty() || address.starts_with('#') ||
            StartsWithNoCase(address, "javascript:") || address == shown ||
            (StartsWithNoCase(address, "mailto:") && address.substr(7) == shown)) {
            return;
        }
        blank = true;
        Append("(");
        Append(address);
        Append(")");
    }

    static CState& Of(void* context) {
        return *static_cast<CState*>(static_cast<htmlParserCtxtPtr>(context)->_private);
    }
    static void OnStart(void* context, const xmlChar* name, const xmlChar** attributes) {
        CState& s = Of(context);
        if (s.parser->nameNr > kDepthLimit) {
            xmlStopParser(s.parser);
            s.stopped = true;
            return;
        }
        const std::string_view element = View(name);
        if (IsOneOf(element, kDropped)) {
            ++s.dropped;
            return;
        }
        if (s.dropped > 0) {
            return;
        }
        if (EqualsNoCase(element, "br")) {
            s.EndLine();
        } else if (IsOneOf(element, kBlocks)) {
            s.BreakLine();
            s.pre += EqualsNoCase(element, "pre") ? 1 : 0;
        } else if (EqualsNoCase(element, "td") || EqualsNoCase(element, "th")) {
            s.blank = true;
        } else if (EqualsNoCase(element, "a")) {
            if (s.inLink) {
                s.EndLink();
            }
            s.inLink = true;
            s.href.clear();
            s.linkText.clear();
            for (const xmlChar** a = attributes; a != nullptr && a[0] != nullptr; a += 2) {
                if (EqualsNoCase(View(a[0]), "href")) {
                    s.href = View(a[1]).substr(0, kLinkLimit);
                }
            }
        }
    }
    static void OnEnd(void* context, const xmlChar* name) {
        CState& s = Of(context);
        const std::string_view element = View(name);
        if (IsOneOf(element, kDropped)) {
            s.dropped -= s.dropped > 0 ? 1 : 0;
            return;
        }
        if (s.dropped > 0) {
            return;
        }
        if (IsOneOf(element, kBlocks)) {
            s.pre -= EqualsNoCase(element, "pre") && s.pre > 0 ? 1 : 0;
            s.BreakLine();
        } else if (EqualsNoCase(element, "td") || EqualsNoCase(element, "th")) {
            s.blank = true;
        } else if (EqualsNoCase(element, "a") && s.inLink) {
            s.EndLink();
        }
    }
    static void OnText(void* context, const xmlChar* text, int length) {
        Of(context).Text(std::string_view(reinterpret_cast<const char*>(text),
                                          static_cast<std::size_t>(length)));
    }
    static void OnCdata(void*, const xmlChar*, int) {}  // script and style content
};

CHtmlText::CHtmlText() : m_state(std::make_unique<CState>()) {
    InitLibxml();
    htmlSAXHandler sax{};
    sax.startElement = &CState::OnStart;
    sax.endElement = &CState::OnEnd;
    sax.characters = &CState::OnText;
    sax.ignorableWhitespace = &CState::OnText;
    sax.cdataBlock = &CState::OnCdata;
    m_state->parser =
        htmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8);
    if (m_state->parser != nullptr) {
        m_state->parser->_private = m_state.get();
        // The part's charset has already been undone: a <meta> charset must not make
        // the parser read the UTF-8 it gets in another one.
        htmlCtxtUseOptions(m_state->parser, HTML_PARSE_RECOVER | HTML_PARSE_NOERROR |
                                                HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                                                HTML_PARSE_IGNORE_ENC);
    }
    m_state->toUtf8 = iconv_open("UTF-8", "CP932");
    if (m_state->parser == nullptr || m_state->toUtf8 == kNoIconv) {
        m_state->stopped = true;
    }
}

CHtmlText::~CHtmlText() {
    if (m_state->parser != nullptr) {
        htmlFreeParserCtxt(m_state->parser);
    }
    if (m_state->toUtf8 != kNoIconv) {
        iconv_close(m_state->toUtf8);
    }
}

void CHtmlText::Feed(std::string_view pageText, std::string& out) {
    CState& s = *m_state;
    if (s.stopped) {
        return;
    }
    std::string input = std::move(s.pending);
    s.pending.clear();
    input.append(pageText);
    // A character code page 932 lacks stands as "\0#233;": the parser reads it back
    // from its reference.
    for (char& c : input) {
        if (c == kForeignMark) {
            c = '&';
        }
    }
    s.utf8.clear();
    std::string_view rest = input;
    RunIconvReplacing(s.toUtf8, rest, s.utf8, kGetaUtf8, false);
    s.pending.assign(rest);
    Parse(s.utf8, false, out);
}

void CHtmlText::Finish(std::string& out) {
    CState& s = *m_state;
    if (!s.stopped) {
        std::string rest;
        if (!s.pending.empty()) {
            rest = kGetaUtf8;
        }
        s.pending.clear();
        Parse(rest, true, out);
    }
    s.out = &out;
    s.BreakLine();
    s.toPage.Finish(out);
    s.stopped = true;
}

void CHtmlText::Parse(std::string_view utf8, bool last, std::string& out) {
    CState& s = *m_state;
    s.out = &out;
    htmlParseChunk(s.parser, utf8.data(), static_cast<int>(utf8.size()), last ? 1 : 0);
    const xmlParserInputPtr input = s.parser->input;
    if (input != nullptr && static_cast<std::size_t>(input->end - input->cur) > kBacklogLimit) {
        s.stopped = true;
    }
}
