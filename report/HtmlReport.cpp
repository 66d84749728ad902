// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/HtmlReport.h"

#include <array>

#include "report/GbkText.h"
#include "talvik/Version.h"

namespace talvik {

namespace {

constexpr std::string_view kHead =
    "<HTML>\n<HEAD>\n<TITLE>扫描结果</TITLE>\n</HEAD>\n<BODY leftmargin=100  width=80% >\n"
    "<H2><p align=center>扫描结果</p></H2><hr>\n"
    "<table border=1 cellpadding=0  cellspacing=0  width=100% bordercolor=#111111  "
    "style=border-collapse: collapse>\n<tr>\n";

// The same titles the result list's columns carry.
constexpr std::array<std::string_view, 3> kColumnTitles = {"主机IP", "状态", "MAC地址"};

// Names the program, its version and its licence; no contact address until there is a public home.
std::string CreditNotice() {
    std::string text = "由 ";
    text += kProductName;
    text += ' ';
    text += kVersion;
    text += " 生成 &nbsp;版权所有 &copy; 2026 ";
    text += kProductName;
    text += " &nbsp;许可证：GPL-3.0-or-later";
    return text;
}

void AppendDataCell(std::string& text, std::string_view cell) {
    text += "<td width=33%height=16>";
    text += HtmlEscape(cell);
    text += "</td>\n";
}

// The file was once written through a text-mode stream, and readers of old reports see every LF
// stored as CR LF, so "\r\n" in a piece lands as CR CR LF.
std::string WithTextModeLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

}  // namespace

ReportTime LocalReportTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string BuildHtmlReport(const std::vector<ReportRow>& rows, const ReportTime& time) {
    std::string text(kHead);
    for (const std::string_view title : kColumnTitles) {
        text += "<td width=33% height=16 bgcolor=#B7D1FD><h3>";
        text += title;
        text += "</h3></td>\n";
    }
    text += "</tr>\r\n";
    for (const ReportRow& row : rows) {
        text += "<tr>\r\n";
        AppendDataCell(text, row.host);
        AppendDataCell(text, row.status);
        AppendDataCell(text, row.mac);
        text += "</tr>\r\n";
    }
    text += "</table>\n";
    text += "扫描结果创建于：" + std::to_string(time.year) + '-' + std::to_string(time.month) +
            '-' + std::to_string(time.day) + "     " + std::to_string(time.hour) + ':' +
            std::to_string(time.minute) + "<br><br>";
    text += "<p align=center>\n<font size=2>";
    text += CreditNotice();
    text += "</font></p>\n</BODY>\n</HTML>";
    return Utf8ToGbk(WithTextModeLineEnds(text), Unencodable::HtmlReference);
}

}  // namespace talvik
