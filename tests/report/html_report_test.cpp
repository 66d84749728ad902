#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/HtmlReport.h"

namespace talvik {
namespace {

// The fixed texts as GBK bytes.
const std::string kScanResults = "\xC9\xA8\xC3\xE8\xBD\xE1\xB9\xFB";
const std::string kHost = "\xD6\xF7\xBB\xFA";
const std::string kStatus = "\xD7\xB4\xCC\xAC";
const std::string kAddress = "\xB5\xD8\xD6\xB7";
const std::string kCreatedAt = "\xC9\xA8\xC3\xE8\xBD\xE1\xB9\xFB\xB4\xB4\xBD\xA8\xD3\xDA\xA3\xBA";

const std::string kHeadAndHeader =
    "<HTML>\r\n<HEAD>\r\n<TITLE>" + kScanResults +
    "</TITLE>\r\n</HEAD>\r\n<BODY leftmargin=100  width=80% >\r\n<H2><p align=center>" +
    kScanResults +
    "</p></H2><hr>\r\n<table border=1 cellpadding=0  cellspacing=0  width=100% "
    "bordercolor=#111111  style=border-collapse: collapse>\r\n<tr>\r\n"
    "<td width=33% height=16 bgcolor=#B7D1FD><h3>" +
    kHost +
    "IP</h3></td>\r\n"
    "<td width=33% height=16 bgcolor=#B7D1FD><h3>" +
    kStatus +
    "</h3></td>\r\n"
    "<td width=33% height=16 bgcolor=#B7D1FD><h3>MAC" +
    kAddress + "</h3></td>\r\n</tr>\r\r\n";

const std::string kFooterStart = "<br><br><p align=center>\r\n<font size=2>";
const std::string kFooterEnd = "</font></p>\r\n</BODY>\r\n</HTML>";

// Splits the report into what comes before the credit notice, the notice, and what follows.
struct Parts {
    std::string before;
    std::string notice;
    std::string after;
};

Parts Split(const std::string& report) {
    const auto start = report.find(kFooterStart);
    const auto end = report.rfind(kFooterEnd);
    if (start == std::string::npos || end == std::string::npos || end < start) {
        ADD_FAILURE() << "no footer in " << report;
        return {report, "", ""};
    }
    const auto noticeStart = start + kFooterStart.size();
    return {report.substr(0, noticeStart), report.substr(noticeStart, end - noticeStart),
            report.substr(end)};
}

TEST(HtmlReportTest, OneRowGivesTheReportByteForByte) {
    const Parts parts = Split(
        BuildHtmlReport({{"192.168.1.1", "running", "00-0c-29-4f-8e-35"}}, {2026, 12, 7, 9, 5}));
    EXPECT_EQ(parts.before, kHeadAndHeader +
                                "<tr>\r\r\n"
                                "<td width=33%height=16>192.168.1.1</td>\r\n"
                                "<td width=33%height=16>running</td>\r\n"
                                "<td width=33%height=16>00-0c-29-4f-8e-35</td>\r\n"
                                "</tr>\r\r\n"
                                "</table>\r\n" +
                                kCreatedAt + "2026-12-7     9:5" + kFooterStart);
    EXPECT_EQ(parts.after, kFooterEnd);
    // The credit notice is one line of plain HTML with a rights notice and a mail link.
    EXPECT_EQ(parts.notice.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(parts.notice.find("&copy;"), std::string::npos);
    EXPECT_NE(parts.notice.find("<a href=\"mailto:"), std::string::npos);
}

TEST(HtmlReportTest, EmptyListAndEmptyCells) {
    const Parts empty = Split(BuildHtmlReport({}, {2026, 3, 5, 8, 7}));
    EXPECT_EQ(empty.before,
              kHeadAndHeader + "</table>\r\n" + kCreatedAt + "2026-3-5     8:7" + kFooterStart);

    const Parts blank = Split(BuildHtmlReport({{"host", "", ""}}, {2027, 1, 31, 23, 59}));
    EXPECT_NE(blank.before.find("<td width=33%height=16>host</td>\r\n"
                                "<td width=33%height=16></td>\r\n"
                                "<td width=33%height=16></td>\r\n"),
              std::string::npos);
    EXPECT_NE(blank.before.find("2027-1-31     23:59<br><br>"), std::string::npos);
}

TEST(HtmlReportTest, LineEndsFollowTheFixedPattern) {
    const std::string report = BuildHtmlReport(
        {{"a", "running", "00-00-00-00-00-01"}, {"b", "", ""}, {"c", "", ""}}, {2026, 1, 1, 0, 0});
    std::vector<std::string> endings;  // the bytes before each LF that are CRs, per line
    std::string::size_type start = 0;
    for (auto lf = report.find('\n'); lf != std::string::npos; lf = report.find('\n', start)) {
        auto crs = lf;
        while (crs > start && report[crs - 1] == '\r') {
            --crs;
        }
        endings.push_back(std::string(lf - crs, 'r'));
        start = lf + 1;
    }
    // 8 head lines, 3 header cells, "</tr>", 3 rows of 5 lines, "</table>", creation line and
    // font line, "</BODY>".
    ASSERT_EQ(endings.size(), 8u + 3u + 1u + 3u * 5u + 1u + 3u);
    for (std::size_t line = 0; line < endings.size(); ++line) {
        const bool rowEdge = line == 11 || (line >= 12 && line < 27 && (line - 12) % 5 != 1 &&
                                            (line - 12) % 5 != 2 && (line - 12) % 5 != 3);
        EXPECT_EQ(endings[line], rowEdge ? "rr" : "r") << "line " << line + 1;
    }
    EXPECT_EQ(report.substr(report.size() - 9), "\r\n</HTML>");
}

TEST(HtmlReportTest, CellTextsAreEscapedAndWrittenWhole) {
    const Parts parts = Split(BuildHtmlReport(
        {{"<script>alert(\"x\")</script>&amp;", "running", "</td><td>"}}, {2026, 1, 1, 0, 0}));
    EXPECT_NE(parts.before.find("<td width=33%height=16>&lt;script&gt;alert(&quot;x&quot;)&lt;"
                                "/script&gt;&amp;amp;</td>"),
              std::string::npos);
    EXPECT_NE(parts.before.find("<td width=33%height=16>&lt;/td&gt;&lt;td&gt;</td>"),
              std::string::npos);
    EXPECT_EQ(parts.before.find("<script"), std::string::npos);

    // A host name far longer than any formatting buffer, with a character GBK lacks at its end.
    const std::string longName = std::string(5000, 'h') + ".example";
    const std::string report = BuildHtmlReport({{longName + "😀", "", ""}}, {2026, 1, 1, 0, 0});
    EXPECT_NE(report.find("<td width=33%height=16>" + longName + "\x94\x39\xFC\x36</td>\r\n"),
              std::string::npos);
}

}  // namespace
}  // namespace talvik
