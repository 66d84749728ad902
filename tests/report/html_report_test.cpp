// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "report/GbkText.h"
#include "report/HtmlReport.h"

namespace talvik::test {
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
    for (const char* part : {"&copy;", "Talvik 1.0.0", "GPL-3.0-or-later"}) {
        EXPECT_NE(notice.find(part), notice.npos) << part;
    }
    EXPECT_EQ(notice.find('@'), notice.npos) << "no contact address: " << notice;
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
        std::time_t when;  // the report says it in China Standard Time
        std::string body;
    } cases[] = {
        {{{"192.168.1.1", "running", "00-0c-29-4f-8e-35"}},
         1796605500,
         Row("192.168.1.1", "running", "00-0c-29-4f-8e-35") + "</table>\r\n" + kCreatedAt +
             "2026-12-7     9:5"},
        {{}, 1772669220, "</table>\r\n" + kCreatedAt + "2026-3-5     8:7"},
        {{{"<script>\"x\"</script>&amp;", "", ""}, {longName + "😀", "", "</td><td>"}},
         1801411140,
         Row("&lt;script&gt;&quot;x&quot;&lt;/script&gt;&amp;amp;", "", "") +
             Row(longName + "\x94\x39\xFC\x36", "", "&lt;/td&gt;&lt;td&gt;") + "</table>\r\n" +
             kCreatedAt + "2027-1-31     23:59"},
    };
    const char* const zone = std::getenv("TZ");
    const std::string savedZone = zone != nullptr ? zone : "";
    setenv("TZ", "CST-8", 1);
    tzset();
    for (const auto& c : cases) {
        EXPECT_EQ(WithoutNotice(BuildHtmlReport(c.rows, LocalReportTime(c.when))),
                  kHead + c.body + kFooterStart + kFooterEnd);
    }
    if (zone != nullptr) {
        setenv("TZ", savedZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(GbkTextTest, CharactersOutsideGbkKeepTheirGb18030CodeAndBadUtf8BecomesQuestionMarks) {
    const struct {
        std::string utf8;
        std::string bytes;
    } cases[] = {
        {"主😀机", "\xD6\xF7\x94\x39\xFC\x36\xBB\xFA"},  // between GBK text on both sides
        {"\xF0\xA0\x80\x80z", "\x95\x32\x82\x36z"},     // CJK Extension B
        {"©", "\x81\x30\x84\x38"},
        {"a\xFF\x62", "a?b"},
        {"\xE4\xB8x", "??x"},  // cut short, in the middle and at the very end
        {"状\xF0\x9F\x98", "\xD7\xB4???"},
        {"\xC0\xAF", "??"},  // overlong forms and encoded surrogates are no characters
        {"\xED\xA0\x80", "???"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"a\xEE\x9E\x8D\x62", "a?b"},  // private use, in neither GBK nor GB18030
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToGbk(c.utf8), c.bytes) << c.utf8;
    }
    EXPECT_EQ(Utf8ToGbk("a\xEE\x9E\x8D\x62", Unencodable::HtmlReference), "a&#59277;b");
    std::string many;  // longer than one conversion buffer
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        many += "😀";
        expected += "\x94\x39\xFC\x36";
    }
    EXPECT_EQ(Utf8ToGbk(many), expected);
}

}  // namespace
}  // namespace talvik::test
