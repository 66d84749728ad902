#include <gtest/gtest.h>

#include <string>

#include "report/GbkText.h"

namespace talvik {
namespace {

TEST(GbkTextTest, ChineseTextsAndAsciiGiveTheirGbkBytes) {
    EXPECT_EQ(Utf8ToGbk("扫描结果"), "\xC9\xA8\xC3\xE8\xBD\xE1\xB9\xFB");
    EXPECT_EQ(Utf8ToGbk("主机IP"),
              "\xD6\xF7\xBB\xFA"
              "IP");
    EXPECT_EQ(Utf8ToGbk("状态"), "\xD7\xB4\xCC\xAC");
    EXPECT_EQ(Utf8ToGbk("MAC地址"), "MAC\xB5\xD8\xD6\xB7");
    EXPECT_EQ(Utf8ToGbk("创建于："), "\xB4\xB4\xBD\xA8\xD3\xDA\xA3\xBA");
    EXPECT_EQ(Utf8ToGbk("host-1.example <a&b>\r\n"), "host-1.example <a&b>\r\n");
    EXPECT_EQ(Utf8ToGbk(""), "");
}

TEST(GbkTextTest, CharactersOutsideGbkKeepTheirGb18030Code) {
    // An emoji and a CJK Extension B character, between GBK text on both sides.
    EXPECT_EQ(Utf8ToGbk("主😀机"), "\xD6\xF7\x94\x39\xFC\x36\xBB\xFA");
    EXPECT_EQ(Utf8ToGbk("\xF0\xA0\x80\x80"
                        "a"),
              "\x95\x32\x82\x36"
              "a");
    EXPECT_EQ(Utf8ToGbk("©"), "\x81\x30\x84\x38");
    // Many of them in a row, longer than one conversion buffer.
    std::string many;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        many += "😀";
        expected += "\x94\x39\xFC\x36";
    }
    EXPECT_EQ(Utf8ToGbk(many), expected);
}

TEST(GbkTextTest, InvalidUtf8BecomesQuestionMarksAndTheRestSurvives) {
    EXPECT_EQ(Utf8ToGbk("a\xFF"
                        "b"),
              "a?b");
    EXPECT_EQ(Utf8ToGbk("\x80\x80"), "??");
    // A sequence cut short, in the middle and at the very end.
    EXPECT_EQ(Utf8ToGbk("\xE4\xB8"
                        "x"),
              "??x");
    EXPECT_EQ(Utf8ToGbk("状\xF0\x9F\x98"), "\xD7\xB4???");
    // Overlong forms and encoded surrogates are not characters.
    EXPECT_EQ(Utf8ToGbk("\xC0\xAF"), "??");
    EXPECT_EQ(Utf8ToGbk("\xED\xA0\x80"), "???");
    std::string embedded("a\0b", 3);
    EXPECT_EQ(Utf8ToGbk(embedded), embedded);
}

}  // namespace
}  // namespace talvik
