// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DeviceText.h"

#include "names/HostNames.h"
#include "store/DeviceChanges.h"

namespace talvik {

namespace {

// Names come from the network and the registry; a tab or line break in one would split the
// copied table or the tooltip.
std::string OneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = ' ';
        }
    }
    return line;
}

}  // namespace

std::string MakerOf(std::string_view macText, const MacRegistry* registry) {
    const auto mac = ParseMacText(macText);
    if (registry == nullptr || !mac) {
        return {};
    }
    return OneLine(registry->Maker(*mac));
}

std::string MakerText(std::string_view macText, const MacRegistry* registry) {
    const auto mac = ParseMacText(macText);
    if (registry == nullptr || registry->Empty() || !mac) {
        return {};
    }
    if (IsLocallyAdministered(*mac)) {
        return "厂商：无（本地管理地址）";
    }
    const std::string maker = OneLine(registry->Maker(*mac));
    return "厂商：" + (maker.empty() ? std::string("未知") : maker);
}

std::string HostNameText(std::string_view name) {
    const std::optional<std::string> safe = SafeHostName(name);
    return safe ? "主机名：" + *safe : std::string();
}

namespace {

std::string CopyFields(std::string_view address, std::string_view status, std::string_view mac,
                       std::string_view maker, const std::string_view* name,
                       const std::vector<OtherAnswer>& others) {
    std::string line =
        OneLine(address) + '\t' + OneLine(status) + '\t' + OneLine(mac) + '\t' + OneLine(maker);
    if (name != nullptr) {
        line += '\t' + OneLine(*name);
    }
    for (const OtherAnswer& other : others) {
        line += '\t' + OneLine(other.mac) + '\t' + OneLine(other.maker);
    }
    return line;
}

}  // namespace

std::string CopyLine(std::string_view address, std::string_view status, std::string_view mac,
                     std::string_view maker, const std::vector<OtherAnswer>& others) {
    return CopyFields(address, status, mac, maker, nullptr, others);
}

std::string CopyLine(std::string_view address, std::string_view status, std::string_view mac,
                     std::string_view maker, std::string_view name,
                     const std::vector<OtherAnswer>& others) {
    return CopyFields(address, status, mac, maker, &name, others);
}

std::string DeviceNameText(std::string_view name) {
    return OneLine(name);
}

std::string NewDeviceText() {
    return "新设备（首次发现）";
}

std::string FirstSeenText(std::int64_t when) {
    return "首次发现：" + store::LocalDateText(when);
}

std::string ChangedMacText(std::string_view mac, std::string_view maker, std::int64_t when) {
    std::string text = "上次为 " + OneLine(mac);
    if (!maker.empty()) {
        text += "（" + OneLine(maker) + "）";
    }
    return text + "，" + store::LocalDateText(when);
}

std::string LastOnlineText(std::int64_t when, std::string_view mac, std::string_view name) {
    std::string inside = OneLine(mac);
    if (!name.empty()) {
        inside += (inside.empty() ? "" : "，") + OneLine(name);
    }
    return "最后发现：" + store::LocalDateText(when) + (inside.empty() ? "" : "（" + inside + "）");
}

}  // namespace talvik
