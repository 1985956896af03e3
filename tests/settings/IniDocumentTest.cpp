#include "settings/IniDocument.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace {

auto RowName = [](const auto& info) { return std::string(info.param.name); };

struct Lookup {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> value;
};
void PrintTo(const Lookup& row, std::ostream* os) {
    *os << row.name;
}

class IniLookupTest : public testing::TestWithParam<Lookup> {};

TEST_P(IniLookupTest, FindsTheValue) {
    const Lookup& row = GetParam();
    const auto document = CIniDocument::Parse(row.text);
    const auto found = document.Find(row.section, row.key);
    EXPECT_EQ(found ? std::optional<std::string>(*found) : std::nullopt, row.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IniLookupTest,
    testing::Values(
        Lookup{"Crlf", "[S]\r\nK=v\r\n", "S", "K", "v"}, Lookup{"Lf", "[S]\nK=v\n", "S", "K", "v"},
        Lookup{"NoFinalLineEnd", "[S]\nK=v", "S", "K", "v"},
        Lookup{"CaseOfNames", "[setting001]\r\nMail_Server=v\r\n", "SETTING001", "MAIL_SERVER",
               "v"},
        Lookup{"BlanksAround", " [ S ] \r\n\t K \t= \t v w \t\r\n", "S", "K", "v w"},
        Lookup{"EqualsInValue", "[S]\r\nK=a=b=\r\n", "S", "K", "a=b="},
        Lookup{"QuotesKept", "[S]\r\nK=\"v\"\r\n", "S", "K", "\"v\""},
        // "表" ends in 0x5C, the backslash
        Lookup{"Cp932Value", "[S]\r\nK=\x95\x5C\x8E\xA6\r\n", "S", "K", "\x95\x5C\x8E\xA6"},
        Lookup{"EmptyValue", "[S]\r\nK=\r\n", "S", "K", ""},
        Lookup{"CommentLine", "[S]\r\n;K=v\r\n", "S", "K", std::nullopt},
        Lookup{"IndentedComment", "[S]\r\n  ; K=v\r\n", "S", "K", std::nullopt},
        Lookup{"KeyOfNextSection", "[S]\r\nA=1\r\n[T]\r\nK=v\r\n", "S", "K", std::nullopt},
        Lookup{"KeyBeforeAnySection", "K=v\r\n[S]\r\n", "S", "K", std::nullopt},
        Lookup{"LineWithoutEquals", "[S]\r\nK\r\n", "S", "K", std::nullopt},
        Lookup{"FirstDuplicateKey", "[S]\r\nK=1\r\nK=2\r\n", "S", "K", "1"},
        Lookup{"FirstDuplicateSection", "[S]\r\nA=1\r\n[S]\r\nK=2\r\n", "S", "K", std::nullopt},
        Lookup{"MissingSection", "[T]\r\nK=v\r\n", "S", "K", std::nullopt},
        Lookup{"EmptyText", "", "S", "K", std::nullopt}),
    RowName);

TEST(IniDocumentTest, ValuesAreCutTo255BytesAndAbsentKeysGiveTheDefault) {
    const std::string longValue(300, 'x');
    const auto document = CIniDocument::Parse("[S]\r\nLONG=" + longValue +
                                              "\r\nFULL=" + longValue.substr(0, 255) + "\r\n");
    EXPECT_EQ(document.GetString("S", "LONG", "d"), longValue.substr(0, 255));
    EXPECT_EQ(document.GetString("S", "FULL", "d"), longValue.substr(0, 255));
    EXPECT_EQ(document.GetString("S", "NONE", "d"), "d");
}

TEST(IniDocumentTest, UntouchedTextSerialisesToTheSameBytes) {
    for (const std::string& text : std::initializer_list<std::string>{
             "", "\n", "[S]\r\nK=v\nA\r\r\n; c", std::string("x\0y\r", 4), "\r\n\r\n[", "=\n=="}) {
        EXPECT_EQ(CIniDocument::Parse(text).Serialize(), text);
    }
}

struct Edit {
    const char* name;
    std::string before;
    std::string after;  // after setting K=v in section S
};
void PrintTo(const Edit& row, std::ostream* os) {
    *os << row.name;
}

class IniEditTest : public testing::TestWithParam<Edit> {};

TEST_P(IniEditTest, ChangesOnlyWhatItMust) {
    auto document = CIniDocument::Parse(GetParam().before);
    ASSERT_TRUE(document.Set("S", "K", "v"));
    EXPECT_EQ(document.Serialize(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IniEditTest,
    testing::Values(
        Edit{"NewFile", "", "[S]\r\nK=v\r\n"},
        Edit{"ReplaceInPlace", "; top\r\n[S]\r\nA=1\r\n k = old \r\nZ=2\r\n",
             "; top\r\n[S]\r\nA=1\r\nK=v\r\nZ=2\r\n"},
        Edit{"ReplaceKeepsLfEnds", "[s]\nK=old\nA=1\n", "[s]\nK=v\nA=1\n"},
        Edit{"NewKeyBeforeCommentOfNextSection", "[S]\r\nA=1\r\n\r\n; about T\r\n[T]\r\nK=2\r\n",
             "[S]\r\nA=1\r\nK=v\r\n\r\n; about T\r\n[T]\r\nK=2\r\n"},
        Edit{"NewSectionAfterTheOthers", "[T]\r\nK=2\r\n", "[T]\r\nK=2\r\n[S]\r\nK=v\r\n"},
        Edit{"NewSectionAfterLastLineWithoutEnd", "[T]\nK=2", "[T]\nK=2\r\n[S]\r\nK=v\r\n"},
        Edit{"NewKeyAfterHeaderWithoutEnd", "[S]", "[S]\r\nK=v\r\n"},
        Edit{"FirstOfDuplicateSections", "[S]\r\nA=1\r\n[S]\r\nK=2\r\n",
             "[S]\r\nA=1\r\nK=v\r\n[S]\r\nK=2\r\n"}),
    RowName);

struct Unstorable {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
};
void PrintTo(const Unstorable& row, std::ostream* os) {
    *os << row.name;
}

class IniUnstorableTest : public testing::TestWithParam<Unstorable> {};

TEST_P(IniUnstorableTest, IsRefusedAndChangesNothing) {
    const std::string text = "[S]\r\nK=old\r\n";
    auto document = CIniDocument::Parse(text);
    const Unstorable& row = GetParam();
    EXPECT_FALSE(document.SetSection(row.section, {{"A", "1"}, {row.key, row.value}}));
    EXPECT_EQ(document.Serialize(), text);
}

INSTANTIATE_TEST_SUITE_P(Names, IniUnstorableTest,
                         testing::Values(Unstorable{"ValueWithCr", "S", "K", "a\rb"},
                                         Unstorable{"ValueWithLf", "S", "K", "a\nb"},
                                         Unstorable{"KeyWithEquals", "S", "K=", "v"},
                                         Unstorable{"KeyAsComment", "S", ";K", "v"},
                                         Unstorable{"KeyAsSection", "S", "[K", "v"},
                                         Unstorable{"KeyWithBlank", "S", " K", "v"},
                                         Unstorable{"EmptyKey", "S", "", "v"},
                                         Unstorable{"SectionWithBracket", "S]", "K", "v"},
                                         Unstorable{"SectionWithLf", "S\n", "K", "v"},
                                         Unstorable{"EmptySection", "", "K", "v"}),
                         RowName);

}  // namespace
