// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Options.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "scan/Address.h"

namespace talvik::cli {

namespace {

// Plain decimal digits only, within [low, high]: no sign, no spaces, no suffix.
std::optional<int> Number(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string Quoted(std::string_view text) {
    return "“" + std::string(text) + "”";
}

void AddRun(std::uint32_t first, std::uint32_t last, std::vector<std::string>& rows) {
    for (std::uint64_t address = first; address <= last; ++address) {
        rows.push_back(FormatDottedDecimal(static_cast<std::uint32_t>(address)));
    }
}

bool LooksNumeric(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// Letters, digits, '-', '_' and '.', as resolvers take them; nothing that could be an option.
bool IsHostName(std::string_view text) {
    if (text.empty() || text.size() > 253 || text.front() == '-' || text.front() == '.') {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

}  // namespace

bool ExpandTarget(std::string_view text, std::vector<std::string>& rows, std::string& error) {
    if (const auto dash = text.find('-');
        dash != std::string_view::npos && ParseDottedDecimal(text.substr(0, dash))) {
        const std::uint32_t first = *ParseDottedDecimal(text.substr(0, dash));
        const std::string_view end = text.substr(dash + 1);
        std::optional<std::uint32_t> last = ParseDottedDecimal(end);
        if (!last) {
            if (const auto octet = Number(end, 0, 255)) {
                last = (first & 0xFFFFFF00u) | static_cast<std::uint32_t>(*octet);
            }
        }
        if (!last) {
            error = "范围的结尾不是地址：" + Quoted(text);
            return false;
        }
        if ((*last & 0xFFFFFF00u) != (first & 0xFFFFFF00u)) {
            error = "范围超出了一个 /24 网段：" + Quoted(text);
            return false;
        }
        if (*last < first) {
            error = "范围的结尾在开头之前：" + Quoted(text);
            return false;
        }
        AddRun(first, *last, rows);
        return true;
    }
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        const auto base = ParseDottedDecimal(text.substr(0, slash));
        const auto bits = Number(text.substr(slash + 1), 0, 32);
        if (!base || !bits) {
            error = "不是有效的网段：" + Quoted(text);
            return false;
        }
        if (*bits < 24) {
            error = "网段前缀至少为 /24（最多 255 个目标）：" + Quoted(text);
            return false;
        }
        const std::uint32_t mask = *bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> *bits);
        const std::uint32_t network = *base & mask;
        const std::uint32_t broadcast = network | ~mask;
        // Up to /30 the network and broadcast addresses are no hosts; a /31 has two hosts.
        if (*bits <= 30) {
            AddRun(network + 1, broadcast - 1, rows);
        } else {
            AddRun(network, broadcast, rows);
        }
        return true;
    }
    if (ParseDottedDecimal(text)) {
        rows.push_back(FormatDottedDecimal(*ParseDottedDecimal(text)));
        return true;
    }
    if (LooksNumeric(text) || !IsHostName(text)) {
        error = "不是有效的地址、范围或主机名：" + Quoted(text);
        return false;
    }
    rows.emplace_back(text);
    return true;
}

ParsedCommand ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommand parsed;
    ScanOptions& options = parsed.options;
    const auto bad = [&](std::string text) {
        parsed.action = ParsedCommand::Action::BadUsage;
        parsed.error = std::move(text);
        return parsed;
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            std::string error;
            if (!ExpandTarget(arg, options.targets, error)) {
                return bad(error);
            }
            if (options.targets.size() > static_cast<std::size_t>(MAX_TARGETS)) {
                return bad("目标超过 " + std::to_string(MAX_TARGETS) + " 个");
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.action = ParsedCommand::Action::Help;
            return parsed;
        }
        if (arg == "--version") {
            parsed.action = ParsedCommand::Action::Version;
            return parsed;
        }
        // --name=value or --name value for the options that take one.
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        const bool takesValue =
            name == "--format" || name == "--workers" || name == "--network-condition";
        if (takesValue && !value) {
            if (i + 1 >= args.size()) {
                return bad("选项 " + name + " 缺少值");
            }
            value = args[++i];
        } else if (!takesValue && value) {
            return bad("选项 " + name + " 不带值");
        }
        if (name == "--format") {
            if (*value == "text") {
                options.format = OutputFormat::Text;
            } else if (*value == "csv") {
                options.format = OutputFormat::Csv;
            } else if (*value == "json") {
                options.format = OutputFormat::Json;
            } else {
                return bad("--format 只能是 text、csv 或 json：" + Quoted(*value));
            }
        } else if (name == "--workers") {
            const auto number = Number(*value, kMinWorkerLimit, kMaxWorkerLimit);
            if (!number) {
                return bad("--workers 须为 1 到 64 的整数：" + Quoted(*value));
            }
            options.workers = *number;
        } else if (name == "--network-condition") {
            const auto number = Number(*value, kMinNetworkCondition, kMaxNetworkCondition);
            if (!number) {
                return bad("--network-condition 须为 100 到 5000 的整数：" + Quoted(*value));
            }
            options.networkCondition = *number;
        } else if (name == "--all") {
            options.all = true;
        } else if (name == "--no-names") {
            options.noNames = true;
        } else if (name == "--remember") {
            options.remember = true;
        } else if (name == "--no-memory") {
            options.noMemory = true;
        } else {
            return bad("未知选项：" + Quoted(arg));
        }
    }
    if (options.remember && options.noMemory) {
        return bad("--remember 与 --no-memory 不能同时使用");
    }
    if (options.targets.empty()) {
        return bad("缺少扫描目标");
    }
    parsed.action = ParsedCommand::Action::Scan;
    return parsed;
}

std::string UsageText() {
    return "用法：talvik-scan [选项]... 目标...\n"
           "用 ARP 找出本地网段上在线的主机，打印结果后退出。\n"
           "\n"
           "目标可以是地址（203.0.113.7）、同一 /24 网段内的范围（203.0.113.1-203.0.113.254\n"
           "或 203.0.113.1-254）、/24 或更长的网段（203.0.113.0/24）或主机名，合计最多 255 个。\n"
           "\n"
           "选项：\n"
           "  --format text|csv|json   输出格式（默认 text）\n"
           "  --workers 1..64          同时探测的目标数（默认 50）\n"
           "  --network-condition 100..5000\n"
           "                           网络状况，越小等待迟到的应答越久（默认 1000）\n"
           "  --all                    text 格式也列出无响应和未能探测的目标\n"
           "  --no-names               不查询厂商和主机名\n"
           "  --remember               把结果记入设备记录\n"
           "  --no-memory              不读也不写设备记录\n"
           "  -h, --help               显示本帮助并退出\n"
           "  --version                显示版本并退出\n"
           "\n"
           "退出状态：0 每个目标都已探测；1 有目标未能探测；2 用法或输入有误；\n"
           "4 设备记录无法读写（结果照常输出）；130 被 SIGINT 或 SIGTERM 中断。\n";
}

}  // namespace talvik::cli
