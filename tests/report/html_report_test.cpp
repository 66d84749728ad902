#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "report/GbkText.h"
#include "report/HtmlReport.h"

namespace talvik {
namespace {

// GBK bytes of 扫描结果 and of 扫描结果创建于：.
const std::string kScanResults = "\xC9\xA8\xC3\xE8\xBD\xE1\xB9\xFB";
const std::string kCreatedAt = kScanResults + "\xB4\xB4\xBD\xA8\xD3\xDA\xA3\xBA";
const std::string kHead =
    "<HTML>\r\n<HEAD>\r\n<TITLE>" + kScanResults +
    "</TITLE>\r\n</HEAD>\r\n<BODY leftmargin=100  width=80% >\r\n<H2><p align=center>" +
    kScanResults +
    "</p></H2><hr>\r\n<table border=1 cellpadding=0  cellspacing=0  width=100% "
    "bordercolor=#111111  style=border-collapse: collapse>\r\n<tr>\r\n"
    "<td width=33% height=16 bgcolor=#B7D1FD><h3>\xD6\xF7\xBB\xFAIP</h3></td>\r\n"
    "<td width=33% height=16 bgcolor=#B7D1FD><h3>\xD7\xB4\xCC\xAC</h3></td>\r\n"
    "<td width=33% height=16 bgcolor=#B7D1FD><h3>MAC\xB5\xD8\xD6\xB7</h3></td>\r\n</tr>\r\r\n";
const std::string kFooterStart = "<br><br><p align=center>\r\n<font size=2>";
const std::string kFooterEnd = "</font></p>\r\n</BODY>\r\n</HTML>";

// The report without its credit notice, which is ours to word but must be one line.
std::string WithoutNotice(std::string report) {
    const auto from = report.find(kFooterStart) + kFooterStart.size();
    const auto end = report.rfind(kFooterEnd);
    if (from < kFooterStart.size() || end == std::string::npos || end < from) {
        ADD_FAILURE() << "no footer in " << report;
        return report;
    }
    const std::string notice = report.substr(from, end - from);
    EXPECT_EQ(notice.find_first_of("\r\n"), notice.npos) << notice;
    EXPECT_TRUE(notice.find("&copy;") != notice.npos && notice.find("mailto:") != notice.npos);
    return report.erase(from, end - from);
}

std::string Row(const std::string& host, const std::string& status, const std::string& mac) {
    return "<tr>\r\r\n<td width=33%height=16>" + host + "</td>\r\n<td width=33%height=16>" +
           status + "</td>\r\n<td width=33%height=16>" + mac + "</td>\r\n</tr>\r\r\n";
}

TEST(HtmlReportTest, ReportsAreWrittenByteForByteWithCellsEscapedAndWhole) {
    const std::string longName = std::string(5000, 'h') + ".example";  // past any buffer
    const struct {
        std::vector<ReportRow> rows;
        ReportTime time;
        std::string body;
    } cases[] = {
        {{{"192.168.1.1", "running", "00-0c-29-4f-8e-35"}},
         {2026, 12, 7, 9, 5},
         Row("192.168.1.1", "running", "00-0c-29-4f-8e-35") + "</table>\r\n" + kCreatedAt +
             "2026-12-7     9:5"},
        {{}, {2026, 3, 5, 8, 7}, "</table>\r\n" + kCreatedAt + "2026-3-5     8:7"},
        {{{"<script>\"x\"</script>&amp;", "", ""}, {longName + "😀", "", "</td><td>"}},
         {2027, 1, 31, 23, 59},
         Row("&lt;script&gt;&quot;x&quot;&lt;/script&gt;&amp;amp;", "", "") +
             Row(longName + "\x94\x39\xFC\x36", "", "&lt;/td&gt;&lt;td&gt;") + "</table>\r\n" +
             kCreatedAt + "2027-1-31     23:59"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithoutNotice(BuildHtmlReport(c.rows, c.time)),
                  kHead + c.body + kFooterStart + kFooterEnd);
    }
}

TEST(GbkTextTest, BadUtf8BecomesQuestionMarksAndTheRestSurvives) {
    const struct {
        std::string utf8;
        std::string bytes;
    } cases[] = {
        {"a\xFF"
         "b",
         "a?b"},
        {"\xE4\xB8x", "??x"},  // cut short, in the middle and at the very end
        {"状\xF0\x9F\x98", "\xD7\xB4???"},
        {"\xC0\xAF", "??"},  // overlong forms and encoded surrogates are no characters
        {"\xED\xA0\x80", "???"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"a\xEE\x9E\x8D"
         "b",
         "a?b"},  // private use, in neither GBK nor GB18030
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToGbk(c.utf8), c.bytes) << c.utf8;
    }
    EXPECT_EQ(Utf8ToGbk("a\xEE\x9E\x8D"
                        "b",
                        Unencodable::HtmlReference),
              "a&#59277;b");
}

// The bytes converted by iconv, or nothing when they are not valid in `from`.
std::string Iconv(const char* to, const char* from, std::string in) {
    iconv_t cd = iconv_open(to, from);
    std::string out(16, '\0');
    char* inPointer = in.data();
    char* outPointer = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    const bool ok = iconv(cd, &inPointer, &inLeft, &outPointer, &outLeft) != std::size_t(-1);
    iconv_close(cd);
    return ok && inLeft == 0 ? std::string(out.data(), outPointer) : std::string();
}

TEST(GbkTextTest, EveryCharacterComesBackWhenRead) {
    int references = 0;
    for (char32_t c = 1; c < 0x110000; c += c < 0x10000 ? 1 : 61) {
        // Surrogates are no characters, and glibc drops the invisible tag characters.
        if ((c >= 0xD800 && c < 0xE000) || (c >= 0xE0000 && c < 0xE0080)) {
            continue;
        }
        const std::string utf8 =
            Iconv("UTF-8", "UTF-32LE", std::string(reinterpret_cast<const char*>(&c), 4));
        const std::string bytes = Utf8ToGbk(utf8, Unencodable::HtmlReference);
        if (bytes.starts_with("&#")) {
            EXPECT_EQ(bytes, "&#" + std::to_string(c) + ";");
            ++references;
            continue;
        }
        // A reader takes GBK where it has the bytes, GB18030 else.
        const std::string gbk = Iconv("UTF-8", "GBK", bytes);
        ASSERT_EQ(gbk.empty() ? Iconv("UTF-8", "GB18030", bytes) : gbk, utf8)
            << "U+" << std::hex << static_cast<unsigned>(c);
    }
    // Only the few characters glibc's GB18030 leaves out need a reference.
    EXPECT_LT(references, 200);
}

}  // namespace
}  // namespace talvik
