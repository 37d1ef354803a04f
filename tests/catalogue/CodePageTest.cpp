#include "CodePage.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>
#include <string>
#include <thread>
#include <vector>

// "あ漢字" and "サウンド" in code page 932 and in UTF-8.
static const std::string kAnsiJapanese = "\x82\xA0\x8A\xBF\x8E\x9A\x83\x54\x83\x45\x83\x93\x83\x68";
static const std::string kUtf8Japanese =
    "\xE3\x81\x82\xE6\xBC\xA2\xE5\xAD\x97\xE3\x82\xB5\xE3\x82\xA6\xE3\x83\xB3\xE3\x83\x89";

struct ConversionCase {
    const char* name;
    bool toUtf8; // AnsiToUtf8, else Utf8ToAnsi
    std::string from;
    std::string to;
};

class Cp932ConversionTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(Cp932ConversionTest, Converts) {
    const ConversionCase& c = GetParam();
    EXPECT_EQ(c.toUtf8 ? AnsiToUtf8(c.from, "CP932") : Utf8ToAnsi(c.from.c_str(), "CP932"), c.to);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Cp932ConversionTest,
    testing::Values(ConversionCase{"Empty", true, "", ""}, ConversionCase{"Ascii", true, "no 0x01f4", "no 0x01f4"},
                    ConversionCase{"Japanese", true, kAnsiJapanese, kUtf8Japanese},
                    ConversionCase{"HalfWidthKatakana", true, "\xB1", "\xEF\xBD\xB1"},
                    ConversionCase{"LineBreaksKept", true, "a\r\nb\tc", "a\r\nb\tc"},
                    ConversionCase{"EmbeddedZeroEndsText", true, std::string("ab\0cd", 5), "ab"},
                    // Malformed code page 932 decodes byte by byte as U+FFFD.
                    ConversionCase{"LoneLeadByteAtEnd", true, "a\x82", "a\xEF\xBF\xBD"},
                    ConversionCase{"LeadByteWithBadTrail", true,
                                   "\x82\x20"
                                   "A",
                                   "\xEF\xBF\xBD A"},
                    ConversionCase{"LeadByteBeforeZero", true, std::string("\x82\0\xA0", 3), "\xEF\xBF\xBD"},

                    ConversionCase{"BackEmpty", false, "", ""}, ConversionCase{"BackAscii", false, "yes", "yes"},
                    ConversionCase{"BackJapanese", false, kUtf8Japanese, kAnsiJapanese},
                    // Characters code page 932 lacks become one blank each, whatever their length.
                    ConversionCase{"EuroSign", false,
                                   "1\xE2\x82\xAC"
                                   "2",
                                   "1 2"},
                    ConversionCase{"Emoji", false,
                                   "a\xF0\x9F\x98\x80"
                                   "b",
                                   "a b"},
                    ConversionCase{"LatinAccent", false, "caf\xC3\xA9", "caf "},
                    // Malformed UTF-8 decodes byte by byte as U+FFFD, which 932 lacks too.
                    ConversionCase{"InvalidByte", false,
                                   "a\xFF"
                                   "b",
                                   "a b"},
                    ConversionCase{"TruncatedAtEnd", false, "a\xE3\x81", "a  "},
                    ConversionCase{"TruncatedBeforeAscii", false,
                                   "\xE3\x81"
                                   "A",
                                   "  A"},
                    ConversionCase{"EncodedSurrogate", false, "\xED\xA0\x80", "   "},
                    ConversionCase{"Overlong", false, "\xC0\xAF", "  "}),
    [](const auto& info) { return info.param.name; });

TEST(CodePageTest, AbsentTextIsEmpty) {
    EXPECT_EQ(Utf8ToAnsi(nullptr, "CP932"), "");
    EXPECT_EQ(Utf8ToAnsi(nullptr, "UTF-8"), "");
    EXPECT_EQ(Utf8ToAnsi(nullptr), "");
}

TEST(CodePageTest, Utf8CodePageStillReplacesMalformedInput) {
    const struct {
        std::string from;
        std::string to;
    } cases[] = {{kUtf8Japanese, kUtf8Japanese},
                 {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                 {"a\xFF", "a\xEF\xBF\xBD"},
                 {"\xC3\x28", "\xEF\xBF\xBD("},
                 {"\xE3\x81", "\xEF\xBF\xBD\xEF\xBF\xBD"}};
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiToUtf8(c.from, "UTF-8"), c.to);
        EXPECT_EQ(Utf8ToAnsi(c.from.c_str(), "UTF-8"), c.to);
    }
}

TEST(CodePageTest, Utf16Conversions) {
    EXPECT_EQ(AnsiToUtf16("\x82\xA0\x8A\xBF", "CP932"), u"\u3042\u6F22");
    EXPECT_EQ(AnsiToUtf16("\xF0\x9F\x98\x80", "UTF-8"), u"\U0001F600");
    EXPECT_EQ(AnsiToUtf16("a\x82", "CP932"), u"a\uFFFD");
    EXPECT_EQ(Utf16ToAnsi(u"\u3042\u6F22", "CP932"), "\x82\xA0\x8A\xBF");
    EXPECT_EQ(Utf16ToAnsi(std::u16string(u"ab\0cd", 5), "CP932"), "ab");
    EXPECT_EQ(Utf16ToAnsi(u"\U0001F600!", "CP932"), " !");
    // Unpaired surrogates are malformed: U+FFFD, or a blank where the code page lacks it.
    EXPECT_EQ(Utf16ToAnsi(u"a\xD800"
                          "b\xDC00",
                          "UTF-8"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToAnsi(u"a\xD800", "CP932"), "a ");
    EXPECT_EQ(Utf16ToAnsi(u"\xDC00\xD800", "CP932"), "  ");
}

TEST(CodePageTest, StatefulTargetGetsBlankInItsInitialState) {
    // "あ€あ" in ISO-2022-JP: the blank stands outside the JIS X 0208 runs.
    EXPECT_EQ(Utf8ToAnsi("\xE3\x81\x82\xE2\x82\xAC\xE3\x81\x82", "ISO-2022-JP"), "\x1B$B$\"\x1B(B \x1B$B$\"\x1B(B");
}

TEST(CodePageTest, UnknownCodePageConvertsAsUtf8) {
    for (const char* name : {"NO-SUCH-CODE-PAGE", "", "CP932//TRANSLIT", "utf8"}) {
        EXPECT_EQ(AnsiToUtf8(kUtf8Japanese, name), kUtf8Japanese) << name;
        EXPECT_EQ(Utf8ToAnsi("a\xE2\x82\xAC", name), "a\xE2\x82\xAC") << name;
    }
}

// UTF-8 under either of glibc's names for it ("ISO-IR-193" is an alias) converts alike on any
// input, valid or not.
TEST(CodePageTest, Utf8AgreesWithIconvOnRandomInput) {
    std::mt19937 random(2024);
    const unsigned char bytes[] = {0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
                                   0xE3, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0};
    const char16_t units[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0x3042, u'A', 0x80};
    for (int i = 0; i < 20000; ++i) {
        std::string narrow;
        std::u16string wide;
        for (int j = static_cast<int>(random() % 12); j > 0; --j) {
            narrow.push_back(static_cast<char>(random() % 2 ? bytes[random() % std::size(bytes)] : random()));
            wide.push_back(random() % 2 ? units[random() % std::size(units)] : static_cast<char16_t>(random()));
        }
        ASSERT_EQ(AnsiToUtf16(narrow, "UTF-8"), AnsiToUtf16(narrow, "ISO-IR-193")) << testing::PrintToString(narrow);
        ASSERT_EQ(Utf16ToAnsi(wide, "UTF-8"), Utf16ToAnsi(wide, "ISO-IR-193")) << i;
    }
}

TEST(CodePageTest, LongTextsConvertWhole) {
    std::string ansi, utf8;
    for (int i = 0; i < 5000; ++i) {
        ansi += kAnsiJapanese + "x";
        utf8 += kUtf8Japanese + "x";
    }
    EXPECT_EQ(AnsiToUtf8(ansi, "CP932"), utf8);
    EXPECT_EQ(Utf8ToAnsi(utf8.c_str(), "CP932"), ansi);
    const std::string garbage(100000, '\xFF');
    EXPECT_EQ(AnsiToUtf16(garbage, "CP932"), std::u16string(garbage.size(), u'\uFFFD'));
    EXPECT_EQ(Utf8ToAnsi(garbage.c_str(), "CP932"), std::string(garbage.size(), ' '));
}

TEST(CodePageTest, SystemCodePageTreatsPlainLocaleAsUtf8) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    const std::string& plain = SystemCodePage();
    EXPECT_EQ(plain, "UTF-8");
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        EXPECT_EQ(SystemCodePage(), "UTF-8");
    }
    EXPECT_EQ(plain, "UTF-8"); // earlier references stay valid
    EXPECT_EQ(AnsiToUtf8(kUtf8Japanese), kUtf8Japanese);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(CodePageTest, ConcurrentConversions) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                ASSERT_EQ(AnsiToUtf8(kAnsiJapanese, "CP932"), kUtf8Japanese);
                ASSERT_EQ(Utf8ToAnsi("\xE2\x82\xAC", i % 2 ? "CP932" : "EUC-JP"), " ");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}
