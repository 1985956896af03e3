#include "settings/PassCoder.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// Bytes the settings file would lose or misread inside a value: zero, line breaks,
// the white space the reader trims, quotes, and the INI syntax characters.
bool IsUnsafeInFile(unsigned char c) {
    return c == 0 || c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '\v' || c == '\f' ||
           c == '"' || c == '\'' || c == ';' || c == '=' || c == '#';
}

class PassCoderEntryTest : public testing::TestWithParam<int> {};

TEST_P(PassCoderEntryTest, EveryByteEncodesToSafeCharactersAndDecodesBack) {
    const CPassCoder coder;
    const int entry = GetParam();
    for (int c = 0; c <= 255; ++c) {
        unsigned char high = 0;
        unsigned char low = 0;
        coder.EncodeByte(static_cast<unsigned char>(c), entry, high, low);
        if (c != 0) {
            EXPECT_FALSE(IsUnsafeInFile(high)) << "byte " << c << " high " << int(high);
            EXPECT_FALSE(IsUnsafeInFile(low)) << "byte " << c << " low " << int(low);
        }
        EXPECT_EQ(coder.DecodeByte(high, low, entry), c) << "byte " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PassCoderEntryTest, testing::Range(0, CPassCoder::kEntries),
                         [](const auto& info) { return "Entry" + std::to_string(info.param); });

std::string Bytes(int first, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        bytes += static_cast<char>((first + i) % 256);
    }
    return bytes;
}

struct RoundTrip {
    const char* name;
    std::string password;
};
void PrintTo(const RoundTrip& row, std::ostream* os) {
    *os << row.name;
}

class PassCoderRoundTripTest : public testing::TestWithParam<RoundTrip> {};

TEST_P(PassCoderRoundTripTest, DecodesToThePasswordWithFillerFromAToY) {
    const std::string& password = GetParam().password;
    CPassCoder coder;
    // Many encodings, so the password bytes meet many different table entries.
    for (int round = 0; round < 200; ++round) {
        const std::string form = coder.Encode(password);
        ASSERT_EQ(form.size(), 100u);
        EXPECT_EQ(form[66], static_cast<char>('A' + password.size()));
        for (std::size_t i = 2 * password.size(); i < form.size(); ++i) {
            EXPECT_TRUE(form[i] >= 'A' && form[i] <= 'y') << "position " << i;
        }
        EXPECT_EQ(CPassCoder().Decode(form), password);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Passwords, PassCoderRoundTripTest,
    testing::Values(RoundTrip{"Empty", ""}, RoundTrip{"OneByte", "x"},
                    RoundTrip{"EditorLongest30", "abcdefghijklmnopqrstuvwxyz0123"},
                    RoundTrip{"Longest33", Bytes('!', 33)},
                    // "パスワード" in code page 932
                    RoundTrip{"Cp932", "\x83\x70\x83\x58\x83\x8F\x81\x5B\x83\x68"},
                    RoundTrip{"Bytes128To160", Bytes(128, 33)},
                    RoundTrip{"Bytes223To255", Bytes(223, 33)},
                    RoundTrip{"Bytes1To33", Bytes(1, 33)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PassCoderTest, LongerPasswordIsKeptToItsFirst33Bytes) {
    CPassCoder coder;
    const std::string password = Bytes('a', 40);
    EXPECT_EQ(coder.Decode(coder.Encode(password)), password.substr(0, 33));
}

// Tokens and client secrets: pieces of 33 bytes, 100 characters each.
TEST(PassCoderTest, LongTextsRoundTripPieceByPiece) {
    const struct {
        const char* name;
        std::string text;
        std::size_t formLength;
    } rows[] = {{"Empty", "", 100},
                {"Short", "secret", 100},
                {"Exactly33", Bytes('!', 33), 100},
                {"Exactly34", Bytes('!', 34), 200},
                {"Token2000", Bytes('-', 2000), 6100},
                {"HighBytes", Bytes(128, 99), 300}};
    CPassCoder coder;
    for (const auto& row : rows) {
        const std::string form = coder.EncodeLong(row.text);
        EXPECT_EQ(form.size(), row.formLength) << row.name;
        EXPECT_EQ(CPassCoder().DecodeLong(form), row.text) << row.name;
        if (row.text.size() <= 33) {
            EXPECT_EQ(CPassCoder().Decode(form), row.text) << row.name;
        }
    }
    // A piece cut off, or a short piece inside, is not a long form.
    const std::string form = coder.EncodeLong(Bytes('a', 50));
    EXPECT_EQ(CPassCoder().DecodeLong(form.substr(0, 150)), "");
    EXPECT_EQ(CPassCoder().DecodeLong(coder.Encode("ab") + form), "");
}

TEST(PassCoderTest, EverySaveGivesAnotherText) {
    CPassCoder first;
    CPassCoder second;  // built at once after the first: must not repeat its filler
    const std::string a = first.Encode("secret");
    EXPECT_NE(a, first.Encode("secret"));
    EXPECT_NE(a, second.Encode("secret"));
}

struct NotAForm {
    const char* name;
    std::string stored;
};
void PrintTo(const NotAForm& row, std::ostream* os) {
    *os << row.name;
}

class PassCoderDecodeTest : public testing::TestWithParam<NotAForm> {};

TEST_P(PassCoderDecodeTest, GivesTheEmptyPassword) {
    EXPECT_EQ(CPassCoder().Decode(GetParam().stored), "");
}

std::string WithMark(char mark, std::size_t size = 100) {
    std::string form(size, 'M');
    form[66] = mark;
    return form;
}

INSTANTIATE_TEST_SUITE_P(Values, PassCoderDecodeTest,
                         testing::Values(NotAForm{"Empty", ""}, NotAForm{"PlainPassword", "secret"},
                                         NotAForm{"OneShort", WithMark('E', 99)},
                                         NotAForm{"MarkBelowA", WithMark('@')},
                                         NotAForm{"Mark34", WithMark('c')},
                                         NotAForm{"MarkHighByte", WithMark('\x90')},
                                         NotAForm{"MarkZero", WithMark('\0')}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PassCoderTest, HandEditedHighBytesPickAnEntryInRange) {
    // Entry characters from 0x80 up are negative as signed bytes.
    EXPECT_EQ(CPassCoder::EntryOf('A'), 65 % 9);
    EXPECT_EQ(CPassCoder::EntryOf(0x80), 7);  // -128 % 9 == -2
    EXPECT_EQ(CPassCoder::EntryOf(0xFF), 8);  // -1 % 9 == -1
    std::string form = WithMark('b', 120);    // 33 bytes, longer than a form
    for (std::size_t i = 67; i < 100; ++i) {
        form[i] = static_cast<char>(0x80 + i);
    }
    EXPECT_EQ(CPassCoder().Decode(form).size(), 33u);
}

}  // namespace
