#include <gtest/gtest.h>
#include <iconv.h>

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

std::string Utf8Of(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | c >> 6);
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | c >> 12);
        s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | c >> 18);
        s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

// Decodes the bytes as a reader of the file would: GBK where it has the byte, GB18030 else.
std::string Decode(const std::string& bytes) {
    for (const char* from : {"GBK", "GB18030"}) {
        iconv_t cd = iconv_open("UTF-8", from);
        char buffer[16];
        char* in = const_cast<char*>(bytes.data());
        std::size_t inLeft = bytes.size();
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t result = iconv(cd, &in, &inLeft, &out, &outLeft);
        iconv_close(cd);
        if (result != static_cast<std::size_t>(-1) && inLeft == 0) {
            return std::string(buffer, out);
        }
    }
    return "undecodable";
}

TEST(GbkTextTest, EveryCharacterComesBackWhenRead) {
    int references = 0;
    for (char32_t c = 1; c < 0x110000; c += c < 0x10000 ? 1 : 61) {
        // Surrogates are no characters, and glibc drops the invisible tag characters.
        if ((c >= 0xD800 && c < 0xE000) || (c >= 0xE0000 && c < 0xE0080)) {
            continue;
        }
        const std::string bytes = Utf8ToGbk(Utf8Of(c), Unencodable::HtmlReference);
        if (bytes.starts_with("&#")) {
            EXPECT_EQ(bytes, "&#" + std::to_string(c) + ";");
            ++references;
        } else {
            ASSERT_EQ(Decode(bytes), Utf8Of(c)) << "U+" << std::hex << static_cast<unsigned>(c);
        }
    }
    // Only the few characters glibc's GB18030 leaves out need a reference.
    EXPECT_LT(references, 200);
    // A private-use character that neither table has.
    EXPECT_EQ(Utf8ToGbk("a\xEE\x9E\x8D"
                        "b"),
              "a?b");
    EXPECT_EQ(Utf8ToGbk("a\xEE\x9E\x8D"
                        "b",
                        Unencodable::HtmlReference),
              "a&#59277;b");
}

}  // namespace
}  // namespace talvik
