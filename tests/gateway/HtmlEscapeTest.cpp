#include "gateway/HtmlEscape.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    std::string_view text;
    std::string_view escaped;
};

class EscapeHtmlTest : public testing::TestWithParam<Case> {};

TEST_P(EscapeHtmlTest, WritesReferences) {
    EXPECT_EQ(EscapeHtml(GetParam().text), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeHtmlTest,
    testing::Values(
        Case{"AllFive", "&<>\"'", "&amp;&lt;&gt;&quot;&#39;"},
        Case{"Markup", "<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        Case{"AlreadyEscapedAgain", "&amp;", "&amp;amp;"},
        Case{"PlainRunsAround", "ab<c>'d", "ab&lt;c&gt;&#39;d"},
        // "ソ" (0x83 0x5C) and "表" (0x95 0x5C): trail bytes are never markup.
        Case{"ShiftJisUntouched", "\x83\x5C\x95\x5C\x82\xA0", "\x83\x5C\x95\x5C\x82\xA0"},
        Case{"LineBreaksUntouched", "a\r\nb\r", "a\r\nb\r"},
        Case{"ForeignMarkBecomesReference", std::string_view("\0#233;&", 7), "&#233;&amp;"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
