// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The scan report: the result list's rows as an HTML file in GBK.

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace talvik {

// One result-list row: the host address or name, the status and the MAC address, in UTF-8.
struct ReportRow {
    std::string host;
    std::string status;
    std::string mac;
};

// The local time the report says it was made at; only these fields are written.
struct ReportTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;   // 0 to 23
    int minute = 0;
};

ReportTime LocalReportTime(std::time_t when);

// Text with &, <, > and " as entities, so that a cell cannot add markup to the page.
std::string HtmlEscape(std::string_view text);

// The bytes of the report file, line ends and encoding included.
std::string BuildHtmlReport(const std::vector<ReportRow>& rows, const ReportTime& time);

}  // namespace talvik
