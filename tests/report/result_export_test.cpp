// SPDX-License-Identifier: GPL-3.0-or-later
// The CSV and JSON exports, byte for byte.

#include <gtest/gtest.h>

#include "report/ResultExport.h"

namespace talvik::test {
namespace {

ExportResult Sample() {
    ExportHost answered;
    answered.target = "203.0.113.7";
    answered.address = "203.0.113.7";
    answered.state = ExportState::Answered;
    answered.mac = "00:0c:29:3a:4b:5c";
    answered.otherMacs = {"02:00:00:00:00:09", "02:00:00:00:00:0a"};
    answered.maker = "VMware, Inc.";
    answered.hostName = "打印机\"2\"";
    answered.firstSeen = "2026-12-09T03:10:00+08:00";
    answered.isNew = true;
    answered.interface = "eth0.107";
    ExportHost unresolved;
    unresolved.target = "nas,home";
    unresolved.state = ExportState::Unresolved;
    ExportHost silent;
    silent.target = "gw";
    silent.address = "203.0.113.254";
    silent.state = ExportState::Silent;
    return {{"有 1 个目标不在本地网段。", "line\nwith \\ and \t"}, {answered, unresolved, silent}};
}

TEST(ResultExport, CsvQuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(BuildCsvExport(Sample()),
              "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,"
              "other_macs,interface\r\n"
              "203.0.113.7,answered,00:0c:29:3a:4b:5c,\"VMware, Inc.\",\"打印机\"\"2\"\"\",,"
              "2026-12-09T03:10:00+08:00,,true,,02:00:00:00:00:09 02:00:00:00:00:0a,eth0.107\r\n"
              "\"nas,home\",unresolved,,,,,,,,,,\r\n"
              "203.0.113.254,silent,,,,,,,,,,\r\n");
    EXPECT_EQ(BuildCsvExport({}),
              "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,"
              "other_macs,interface\r\n");
}

// Names come off the network: a cell a spreadsheet would run as a formula is made text in CSV,
// while JSON keeps every name exactly.
TEST(ResultExport, CsvCellsThatLookLikeFormulasAreMadeText) {
    ExportHost host;
    host.target = "203.0.113.7";
    host.address = host.target;
    host.state = ExportState::Answered;
    host.mac = "00:0c:29:3a:4b:5c";
    const std::pair<std::string, std::string> cases[] = {
        {"=HYPERLINK(\"http://x\",\"report\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"report\"\")\""},
        {"+1", "'+1"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "\"'\rx\""},
        {"a=b", "a=b"},
        {"", ""},
    };
    for (const auto& [name, cell] : cases) {
        host.hostName = name;
        host.maker = name;
        const std::string csv = BuildCsvExport({{}, {host}});
        const std::string row = csv.substr(csv.find("\r\n") + 2);
        EXPECT_EQ(row,
                  "203.0.113.7,answered,00:0c:29:3a:4b:5c," + cell + "," + cell + ",,,,,,,\r\n")
            << name;
        EXPECT_EQ(BuildJsonExport({{}, {host}}).find('\''), std::string::npos) << name;
    }
    EXPECT_EQ(BuildCsvExport({}, true).rfind("\xEF\xBB\xBF"
                                             "address,",
                                             0),
              0U);
    EXPECT_EQ(BuildCsvExport({}).rfind("address,", 0), 0U);
}

TEST(ResultExport, JsonHoldsEveryKeyWithNullsAndEscapes) {
    EXPECT_EQ(
        BuildJsonExport(Sample()),
        "{\"targets\": 3, \"answered\": 1, \"notes\": [\"有 1 个目标不在本地网段。\", "
        "\"line\\nwith \\\\ and \\t\"], \"hosts\": [\n"
        "  {\"target\": \"203.0.113.7\", \"address\": \"203.0.113.7\", \"state\": \"answered\", "
        "\"mac\": \"00:0c:29:3a:4b:5c\", \"other_macs\": [\"02:00:00:00:00:09\", "
        "\"02:00:00:00:00:0a\"], \"maker\": \"VMware, Inc.\", \"host_name\": \"打印机\\\"2\\\"\", "
        "\"name\": null, \"first_seen\": \"2026-12-09T03:10:00+08:00\", \"last_seen\": null, "
        "\"new\": true, \"previous_mac\": null, \"interface\": \"eth0.107\"},\n"
        "  {\"target\": \"nas,home\", \"address\": null, \"state\": \"unresolved\", \"mac\": null, "
        "\"other_macs\": [], \"maker\": null, \"host_name\": null, \"name\": null, "
        "\"first_seen\": null, \"last_seen\": null, \"new\": null, \"previous_mac\": null, "
        "\"interface\": null},\n"
        "  {\"target\": \"gw\", \"address\": \"203.0.113.254\", \"state\": \"silent\", \"mac\": "
        "null, \"other_macs\": [], \"maker\": null, \"host_name\": null, \"name\": null, "
        "\"first_seen\": null, \"last_seen\": null, \"new\": null, \"previous_mac\": null, "
        "\"interface\": null}\n"
        "]}\n");
    EXPECT_EQ(BuildJsonExport({}),
              "{\"targets\": 0, \"answered\": 0, \"notes\": [], \"hosts\": []}\n");
    ExportResult control;
    control.notes = {
        std::string("a\x01\x7f"
                    "b")};
    EXPECT_EQ(BuildJsonExport(control),
              "{\"targets\": 0, \"answered\": 0, \"notes\": [\"a\\u0001\\u007fb\"], "
              "\"hosts\": []}\n");
}

// Memory's fields: "new" says only of a device that answered; a device that left gives the MAC
// last seen at its address.
TEST(ResultExport, MemoryFieldsSayWhatIsKnown) {
    ExportHost known;
    store::RowChange change;
    change.mac = "02-00-00-00-00-0a";
    change.previous = store::PreviousMac{"02-00-00-00-00-0b", "", 100};
    AddMemoryFields(known, change, 200);
    EXPECT_EQ(known.isNew, false);
    EXPECT_EQ(known.previousMac, "02:00:00:00:00:0b");
    ExportHost gone;
    store::RowChange left;
    left.lastOnline = store::LastOnline{100, "02-00-00-00-00-0c", "", ""};
    AddMemoryFields(gone, left, 200);
    EXPECT_EQ(gone.isNew, std::nullopt);
    EXPECT_EQ(gone.previousMac, "02:00:00:00:00:0c");
    EXPECT_EQ(gone.lastSeen, ExportTime(100));
}

// Names come off the network: whatever bytes they hold, the files stay valid UTF-8.
TEST(ResultExport, MalformedUtf8IsReplacedAndMacsAreNormalised) {
    const std::pair<std::string, std::string> utf8[] = {
        {"plain", "plain"},
        {"打印机", "打印机"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a\xFFz", "a\xEF\xBF\xBDz"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xE6\x89", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
    };
    for (const auto& [in, out] : utf8) {
        EXPECT_EQ(ValidUtf8(in), out) << in;
    }
    EXPECT_EQ(ExportMac("00-0C-29-3A-4B-5C"), "00:0c:29:3a:4b:5c");
    EXPECT_EQ(ExportMac("02:00:00:00:00:0a"), "02:00:00:00:00:0a");
    for (const char* bad : {"", "203.0.113.7", "Unknown host", "00-0C-29-3A-4B",
                            "00-0C-29-3A-4B-5G", "00-0C-29-3A-4B-5C-"}) {
        EXPECT_EQ(ExportMac(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace talvik::test
