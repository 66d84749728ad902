// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-scan's command line: what each argument list asks for, and every bad one refused with
// a line that says why, before anything is sent.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "arp/ArpSenders.h"
#include "cli/HostNameSources.h"
#include "cli/Language.h"
#include "cli/Options.h"
#include "cli/ScanCommand.h"

namespace talvik::cli {
namespace {

// The command's texts as a Chinese user reads them, from the catalogue this build made.
[[maybe_unused]] const bool kChinese = [] {
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("LANGUAGE", "zh_CN", 1);
    SetUpLanguage();
    return true;
}();

std::vector<std::string> Rows(std::initializer_list<std::string> args) {
    const ParsedCommand parsed = ParseCommandLine(args);
    EXPECT_EQ(parsed.action, ParsedCommand::Action::Scan) << parsed.error;
    return parsed.options.targets.Texts();
}

TEST(Options, TargetsExpandInOrder) {
    EXPECT_EQ(Rows({"203.0.113.7"}), std::vector<std::string>{"203.0.113.7"});
    EXPECT_EQ(Rows({"203.0.113.1-203.0.113.3", "nas.local"}),
              (std::vector<std::string>{"203.0.113.1", "203.0.113.2", "203.0.113.3", "nas.local"}));
    EXPECT_EQ(Rows({"203.0.113.253-255"}),
              (std::vector<std::string>{"203.0.113.253", "203.0.113.254", "203.0.113.255"}));
    EXPECT_EQ(Rows({"203.0.113.9/30"}), (std::vector<std::string>{"203.0.113.9", "203.0.113.10"}));
    EXPECT_EQ(Rows({"198.51.100.4/31"}),
              (std::vector<std::string>{"198.51.100.4", "198.51.100.5"}));
    EXPECT_EQ(Rows({"198.51.100.4/32"}), std::vector<std::string>{"198.51.100.4"});
    const auto slash24 = Rows({"203.0.113.77/24"});
    ASSERT_EQ(slash24.size(), 254U);
    EXPECT_EQ(slash24.front(), "203.0.113.1");
    EXPECT_EQ(slash24.back(), "203.0.113.254");
    // 255 in all is the window's limit too.
    EXPECT_EQ(Rows({"203.0.113.0-254"}).size(), 255U);
    EXPECT_EQ(Rows({"--", "203.0.113.5"}), std::vector<std::string>{"203.0.113.5"});
    // A target given again is one row, where it first came.
    EXPECT_EQ(Rows({"203.0.113.7", "nas", "203.0.113.6-8", "NAS", "203.0.113.7"}),
              (std::vector<std::string>{"203.0.113.7", "nas", "203.0.113.6", "203.0.113.8"}));
    EXPECT_EQ(Rows({"203.0.113.0/24", "203.0.113.5"}).size(), 254U);
    // Beyond one /24: ranges across blocks keep every address, prefixes drop their edges.
    EXPECT_EQ(
        Rows({"198.18.0.254-198.18.1.1"}),
        (std::vector<std::string>{"198.18.0.254", "198.18.0.255", "198.18.1.0", "198.18.1.1"}));
    const auto slash22 = Rows({"198.18.4.9/22"});
    ASSERT_EQ(slash22.size(), 1022U);
    EXPECT_EQ(slash22.front(), "198.18.4.1");
    EXPECT_EQ(slash22[254], "198.18.4.255");
    EXPECT_EQ(slash22.back(), "198.18.7.254");
    const auto slash16 = Rows({"198.18.0.0/16", "198.18.7.7", "198.18.0.0/16", "printer"});
    ASSERT_EQ(slash16.size(), 65535U);
    EXPECT_EQ(slash16.front(), "198.18.0.1");
    EXPECT_EQ(slash16[65533], "198.18.255.254");
    EXPECT_EQ(slash16.back(), "printer");
    // The limit itself: 65,536 addresses, also when a name and an address repeat what is there.
    EXPECT_EQ(Rows({"198.18.0.0-198.18.255.255", "198.18.3.3", "198.18.0.0/16"}).size(), 65536U);
    EXPECT_EQ(Rows({"198.18.0.0/16", "198.18.0.0", "198.18.255.255"}).size(), 65536U);
    EXPECT_EQ(Rows({"10.1.0.0/22", "10.2.0.0/24", "printer"}).size(), 1022U + 254U + 1U);
    EXPECT_EQ(Rows({"0.0.0.0/32"}), std::vector<std::string>{"0.0.0.0"});
}

// A /16 is held as numbers: a /16 and the set that finds its repeats stay a few megabytes.
TEST(Options, TargetsOfASlash16StaySmall) {
    const ParsedCommand parsed = ParseCommandLine({"198.18.0.0/16", "nas"});
    ASSERT_EQ(parsed.options.targets.size(), 65535U);
    EXPECT_FALSE(parsed.options.targets.IsName(0));
    EXPECT_EQ(parsed.options.targets.Address(0), 0xC6120001U);
    EXPECT_TRUE(parsed.options.targets.IsName(65534));
    EXPECT_EQ(parsed.options.targets.Text(65534), "nas");
}

TEST(Options, SettingsAndDefaults) {
    ParsedCommand parsed = ParseCommandLine({"203.0.113.1"});
    EXPECT_EQ(parsed.options.format, OutputFormat::Text);
    EXPECT_EQ(parsed.options.workers, 50);
    EXPECT_EQ(parsed.options.networkCondition, 1000);
    EXPECT_FALSE(parsed.options.all || parsed.options.noNames || parsed.options.remember ||
                 parsed.options.noMemory);
    parsed = ParseCommandLine({"--format=json", "--workers", "64", "--network-condition=100",
                               "--all", "--no-names", "--no-memory", "203.0.113.1"});
    EXPECT_EQ(parsed.action, ParsedCommand::Action::Scan) << parsed.error;
    EXPECT_EQ(parsed.options.format, OutputFormat::Json);
    EXPECT_EQ(parsed.options.workers, 64);
    EXPECT_EQ(parsed.options.networkCondition, 100);
    EXPECT_TRUE(parsed.options.all && parsed.options.noNames && parsed.options.noMemory);
    EXPECT_EQ(ParseCommandLine({"--format", "csv", "--workers=1", "x"}).options.format,
              OutputFormat::Csv);
    EXPECT_FALSE(ParseCommandLine({"--format=csv", "x"}).options.bom);
    EXPECT_TRUE(ParseCommandLine({"--format=csv", "--bom", "x"}).options.bom);
    EXPECT_EQ(ParseCommandLine({"203.0.113.1", "--help"}).action, ParsedCommand::Action::Help);
    EXPECT_EQ(ParseCommandLine({"--version"}).action, ParsedCommand::Action::Version);
    EXPECT_EQ(ParseCommandLine({"x"}).options.rate, 0);
    EXPECT_TRUE(ParseCommandLine({"x"}).options.interfaces.empty());
    parsed = ParseCommandLine({"--format=jsonl", "--rate", "250", "--interface", "eth0.107",
                               "--interface=wlan0", "--interface", "eth0.107", "198.18.0.0/20"});
    EXPECT_EQ(parsed.action, ParsedCommand::Action::Scan) << parsed.error;
    EXPECT_EQ(parsed.options.format, OutputFormat::JsonLines);
    EXPECT_EQ(parsed.options.rate, 250);
    EXPECT_EQ(parsed.options.interfaces, (std::vector<std::string>{"eth0.107", "wlan0"}));
    EXPECT_EQ(ParseCommandLine({"--rate=3000", "x"}).options.rate, 3000);
    parsed = ParseCommandLine({"--watch", "x"});
    EXPECT_TRUE(parsed.options.watch);
    EXPECT_EQ(parsed.options.everySeconds, 300);
    for (const auto& [every, seconds] :
         {std::pair{"0", 0}, {"90", 90}, {"30s", 30}, {"5m", 300}, {"1h", 3600}, {"24h", 86400}}) {
        parsed = ParseCommandLine({"--watch", "--format=jsonl", std::string("--every=") + every,
                                   "--exec", "logger -t talvik", "--interface", "eth0.107"});
        EXPECT_EQ(parsed.action, ParsedCommand::Action::Scan) << parsed.error;
        EXPECT_EQ(parsed.options.everySeconds, seconds) << every;
        EXPECT_EQ(parsed.options.format, OutputFormat::JsonLines);
        EXPECT_EQ(parsed.options.exec, "logger -t talvik");
        EXPECT_EQ(parsed.options.interfaces, std::vector<std::string>{"eth0.107"});
    }
}

TEST(Options, BadInputIsRefusedWithAReason) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "缺少扫描目标"},
        {{"--all"}, "缺少扫描目标"},
        {{"--format", "xml", "x"}, "--format"},
        {{"--format"}, "缺少值"},
        {{"--workers", "0", "x"}, "--workers"},
        {{"--workers", "65", "x"}, "--workers"},
        {{"--workers", "+5", "x"}, "--workers"},
        {{"--workers", "5 ", "x"}, "--workers"},
        {{"--network-condition", "99", "x"}, "--network-condition"},
        {{"--network-condition", "5001", "x"}, "--network-condition"},
        {{"--network-condition", "1e3", "x"}, "--network-condition"},
        {{"--all=yes", "x"}, "不带值"},
        {{"--verbose", "x"}, "未知选项"},
        {{"-x", "x"}, "未知选项"},
        {{"--remember", "--no-memory", "x"}, "不能同时使用"},
        {{"203.0.113.5-203.0.113.4"}, "结尾在开头之前"},
        {{"203.0.113.250-256"}, "结尾不是地址"},
        {{"203.0.113.9-3"}, "结尾在开头之前"},
        {{"203.0.113.1-"}, "结尾不是地址"},
        {{"198.18.0.0/15"}, "超过 65536 个目标"},
        {{"0.0.0.0/0"}, "超过 65536 个目标"},
        {{"10.0.0.0-10.1.0.0"}, "超过 65536 个目标"},
        {{"198.18.0.0/16", "198.19.0.0/24"}, "超过 65536 个目标"},
        {{"198.18.0.0-198.18.255.255", "nas"}, "超过 65536 个目标"},
        {{"198.18.0.0/16/2"}, "不是有效的网段"},
        {{"--rate", "0", "x"}, "--rate"},
        {{"--rate", "3001", "x"}, "--rate"},
        {{"--rate", "-5", "x"}, "--rate"},
        {{"--rate", "fast", "x"}, "--rate"},
        {{"--rate"}, "缺少值"},
        {{"--interface", "", "x"}, "网卡名"},
        {{"--interface", "eth0/1", "x"}, "网卡名"},
        {{"--interface", "a-name-far-too-long", "x"}, "网卡名"},
        {{"--interface", "eth 0", "x"}, "网卡名"},
        {{"--format", "ndjson", "x"}, "--format"},
        {{"203.0.113.0/33"}, "不是有效的网段"},
        {{"203.0.113.0/"}, "不是有效的网段"},
        {{"host/24"}, "不是有效的网段"},
        {{"203.0.113.300"}, "不是有效的"},
        {{"255.255.255.255"}, "不是有效的"},
        {{"bad name"}, "不是有效的"},
        {{"name;rm"}, "不是有效的"},
        {{"--", "-name"}, "不是有效的"},
        {{"198.18.0.0/16", "198.51.100.1-2", "203.0.113.0/24"}, "超过 65536 个目标"},
        {{"--every", "5m", "x"}, "只能与 --watch"},
        {{"--exec", "true", "x"}, "只能与 --watch"},
        {{"--watch", "--every", "-5", "x"}, "--every"},
        {{"--watch", "--every", "2d", "x"}, "--every"},
        {{"--watch", "--every", "25h", "x"}, "--every"},
        {{"--watch", "--format", "csv", "x"}, "text 或 jsonl"},
        {{"--watch"}, "缺少扫描目标"},
        {{"--watch", "--interface", "a/b"}, "不是有效的"},
    };
    for (const auto& [args, reason] : cases) {
        const ParsedCommand parsed = ParseCommandLine(args);
        EXPECT_EQ(parsed.action, ParsedCommand::Action::BadUsage) << testing::PrintToString(args);
        EXPECT_NE(parsed.error.find(reason), std::string::npos)
            << testing::PrintToString(args) << ": " << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
    }
}

// What the user typed comes back in an error line as text: nothing in it acts on the terminal.
TEST(Options, ErrorLinesQuoteWhatCannotBeShown) {
    EXPECT_EQ(PrintableText("nas-打印机.local"), "nas-打印机.local");
    EXPECT_EQ(PrintableText("\x1b]0;x\x07\x1b[2J"), "\\x1b]0;x\\x07\\x1b[2J");
    EXPECT_EQ(PrintableText("a\xff\xc3(\xe6\x89"), "a\\xff\\xc3(\\xe6\\x89");
    EXPECT_EQ(PrintableText("\xc0\xaf\xed\xa0\x80"), "\\xc0\\xaf\\xed\\xa0\\x80");
    EXPECT_EQ(PrintableText("\xc2\x9b\xe2\x80\xae\\\n"), "\\u009b\\u202e\\\\\\x0a");
    for (const std::string& bad : {std::string("\x1b[31mx"), std::string("--a\x1b[2J=1"),
                                   std::string("--\xff"), std::string("\xe2\x80\xaehost")}) {
        const ParsedCommand parsed = ParseCommandLine({bad, "203.0.113.1"});
        EXPECT_EQ(parsed.action, ParsedCommand::Action::BadUsage) << parsed.error;
        EXPECT_EQ(parsed.error.find_first_of("\x1b\xff"), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.find("\xe2\x80\xae"), std::string::npos) << parsed.error;
    }
    // A box's lines become one line in the program's own name.
    EXPECT_EQ(NoticeLine("ARP 辅助程序 /x 没有 cap_net_raw 权限。\n本次较慢。\n\n请执行：\nsetcap "
                         "cap_net_raw+ep /x\x1b[0m"),
              "talvik-scan：ARP 辅助程序 /x 没有 cap_net_raw 权限。本次较慢。请执行：setcap "
              "cap_net_raw+ep /x\\x1b[0m");
}

ExportResult Result(std::initializer_list<ExportState> states) {
    ExportResult result;
    int octet = 1;
    for (const ExportState state : states) {
        ExportHost host;
        host.target = "203.0.113." + std::to_string(octet++);
        host.address = host.target;
        host.state = state;
        if (state == ExportState::Answered) {
            host.mac = "00:0c:29:00:00:0" + std::to_string(octet);
        }
        result.hosts.push_back(host);
    }
    return result;
}

TEST(ScanCommand, ExitStatusAndTextLines) {
    using S = ExportState;
    EXPECT_EQ(ExitStatusOf(Result({S::Answered, S::Silent}), false), 0);
    EXPECT_EQ(ExitStatusOf(Result({S::Answered, S::NotAsked}), false), 1);
    EXPECT_EQ(ExitStatusOf(Result({S::Unresolved}), false), 1);
    EXPECT_EQ(ExitStatusOf(Result({S::Answered}), true), 130);

    ExportResult result = Result({S::Answered, S::Silent, S::NotAsked});
    result.hosts[0].maker = "VMware, Inc.";
    result.hosts[0].hostName = "打印机";
    ExportHost named;
    named.target = "nas";
    named.address = "203.0.113.200";
    named.state = S::Answered;
    named.mac = "02:00:00:00:00:c8";
    result.hosts.push_back(named);
    EXPECT_EQ(BuildTextOutput(result, false),
              "203.0.113.1    00:0c:29:00:00:02  VMware, Inc.  打印机\n"
              "203.0.113.200  02:00:00:00:00:c8                nas\n");
    EXPECT_EQ(BuildTextOutput(result, true),
              "203.0.113.1    00:0c:29:00:00:02  VMware, Inc.  打印机\n"
              "203.0.113.2    无响应\n"
              "203.0.113.3    未能探测\n"
              "203.0.113.200  02:00:00:00:00:c8                nas\n");
    // What memory knows gets a column of its own: new, another MAC, left (shown without --all).
    result.hosts[0].isNew = true;
    result.hosts[1].previousMac = "02:00:00:00:00:02";
    result.hosts[3].isNew = false;
    result.hosts[3].previousMac = "02:00:00:00:00:07";
    EXPECT_EQ(BuildTextOutput(result, false),
              "203.0.113.1    00:0c:29:00:00:02  新设备                              VMware, Inc.  "
              "打印机\n"
              "203.0.113.2    无响应             已离线，上次为 02:00:00:00:00:02\n"
              "203.0.113.200  02:00:00:00:00:c8  MAC 已变，上次为 02:00:00:00:00:07                "
              "nas\n");
    EXPECT_EQ(ExitStatusOf(Result({S::Answered, S::NotAsked}), false, true), kExitMemoryFailed);
    EXPECT_EQ(ExitStatusOf(Result({S::Answered}), true, true), 130);
    EXPECT_EQ(SummaryLine(result, 0.94, false),
              "4 个目标，2 台在线，1 个未能探测（用时 0.9 秒）。");
    EXPECT_EQ(SummaryLine(Result({S::Unresolved}), 2.0, true),
              "扫描已中断：1 个目标，0 台在线，1 个名字无法解析（用时 2.0 秒）。");
}

// A result that does not get out says why, once; the caller then exits 3.
TEST(ScanCommand, WriteFailuresAreSaid) {
    std::FILE* err = std::tmpfile();
    ASSERT_NE(err, nullptr);
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(WriteResult(full, "203.0.113.7\n", err));
    std::fclose(full);
    EXPECT_FALSE(WriteResult(nullptr, "x", err));
    std::FILE* out = std::tmpfile();
    EXPECT_TRUE(WriteResult(out, "203.0.113.7\n", err));
    std::fclose(out);
    std::rewind(err);
    char said[512] = {};
    const std::size_t length = std::fread(said, 1, sizeof said - 1, err);
    std::fclose(err);
    const std::string lines(said, length);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    EXPECT_NE(lines.find(std::strerror(ENOSPC)), std::string::npos) << lines;
    EXPECT_NE(kExitWriteFailed, kExitSomeNotAsked);
}

// The module as built loads; one that does not, or none where one is expected, is said.
// Hosts printed as they answer: whole lines at once, each row once, the rest at the end with
// --all only, and a write that fails is told instead of the rows that never got out.
TEST(ScanCommand, LiveRowsArePrintedOnceAndWhole) {
    ExportHost up;
    up.target = "nas";
    up.address = "198.18.3.7";
    up.state = ExportState::Answered;
    up.mac = "02:00:5e:10:00:07";
    up.interface = "eth0.107";
    ExportHost silent;
    silent.target = silent.address.emplace("198.18.3.8");
    silent.state = ExportState::Silent;
    const ExportResult result{{}, {up, silent}};
    const auto read = [](std::FILE* file) {
        std::rewind(file);
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), file));
        std::fclose(file);
        return text;
    };
    std::FILE* out = std::tmpfile();
    LiveOutput jsonl(OutputFormat::JsonLines, out);
    jsonl.Answered(up);
    EXPECT_EQ(read(out), BuildJsonHost(up) + "\n");
    EXPECT_EQ(jsonl.Rest(result, false), "");
    EXPECT_EQ(jsonl.Rest(result, true), BuildJsonHost(silent) + "\n");
    EXPECT_EQ(jsonl.Failure(), "");

    out = std::tmpfile();
    LiveOutput text(OutputFormat::Text, out);
    text.Answered(up);
    EXPECT_EQ(read(out), "198.18.3.7       02:00:5e:10:00:07  eth0.107   nas\n");
    EXPECT_EQ(text.Rest(result, false), "");
    EXPECT_NE(text.Rest(result, true).find("198.18.3.8"), std::string::npos);
    EXPECT_EQ(text.Rest(result, true).find("198.18.3.7"), std::string::npos);

    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    LiveOutput failing(OutputFormat::JsonLines, full);
    failing.Answered(up);
    EXPECT_EQ(failing.Failure(), std::strerror(ENOSPC));
    std::fclose(full);
    LiveOutput whole(OutputFormat::Json, nullptr);
    EXPECT_FALSE(whole.Streams());
    whole.Answered(up);
    EXPECT_EQ(whole.Failure(), "");
}

TEST(ScanCommand, NamesModuleLoadsOrSaysWhyNot) {
#ifdef TALVIK_TEST_NAMES_MODULE
    const NameSources loaded = LoadHostNames({TALVIK_TEST_NAMES_MODULE}, true);
    EXPECT_EQ(loaded.problem, "");
#endif
    char dir[] = "/tmp/talvik-names-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string junk = std::string(dir) + "/talvik-scan-names.so";
    std::ofstream(junk) << "not a module";
    const NameSources broken = LoadHostNames({std::string(dir) + "/none.so", junk}, false);
    EXPECT_NE(broken.names, nullptr);
    EXPECT_NE(broken.problem.find(junk), std::string::npos) << broken.problem;
    EXPECT_NE(LoadHostNames({}, true).problem, "");
    EXPECT_EQ(LoadHostNames({std::string(dir) + "/none.so"}, false).problem, "");
    std::remove(junk.c_str());
    rmdir(dir);
}

// Outside a Chinese locale the command speaks English, its help included.
TEST(Options, EnglishOutsideChineseLocales) {
    setenv("LANGUAGE", "", 1);
    std::setlocale(LC_MESSAGES, "C");
    EXPECT_EQ(ParseCommandLine({}).error, "no target to scan");
    EXPECT_EQ(ParseCommandLine({"--workers=x", "a"}).error,
              "--workers takes a whole number from 1 to 64: 'x'");
    EXPECT_EQ(UsageText().rfind("Usage: talvik-scan [OPTION]... TARGET...\n", 0), 0U);
    EXPECT_EQ(SummaryLine(Result({ExportState::Answered}), 1.0, false), "1 target, 1 up (1.0 s).");
    // The engine's and the senders' notices too, a line at a time.
    const std::string lost = std::string(kLinkLostBefore) + "eth0" + kLinkLostAfter + "5" +
                             kNotAskedCount + "\n" + kNotAskedTail;
    EXPECT_EQ(NoticeInLanguage(lost),
              "Interface eth0 went down; 5 targets could not be asked.\n"
              "Their rows stay empty, which does not mean the hosts are down.");
    const std::string fallback = FallbackNotice(ArpSenderKind::Neighbour, kErrorNotSupported, "/x");
    EXPECT_EQ(NoticeInLanguage(fallback),
              "The ARP helper /x lacks the cap_net_raw capability.\n"
              "This scan asks through the system's neighbour table instead, which is slower.\n\n"
              "Run this command as root:\nsetcap cap_net_raw+ep /x");
    EXPECT_EQ(NoticeInLanguage(std::string(kOffLinkBefore) + "1" + kOffLinkAfter)
                  .rfind("1 target is not on the local segment", 0),
              0U);
    std::setlocale(LC_MESSAGES, "");
    setenv("LANGUAGE", "zh_CN", 1);
    EXPECT_EQ(ParseCommandLine({}).error, "缺少扫描目标");
    EXPECT_EQ(NoticeInLanguage(lost), lost);
}

}  // namespace
}  // namespace talvik::cli
