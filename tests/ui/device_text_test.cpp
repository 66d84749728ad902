// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "ui/DeviceText.h"

namespace talvik::test {
namespace {

TEST(DeviceText, TooltipLinesAndCopyLine) {
    const MacRegistry registry({{0x00D0EF, 24, "IGT"}, {0x001EFC, 24, "Bad\tName\nCo"}});
    const MacRegistry missing;
    struct {
        const char* mac;
        const MacRegistry* registry;
        const char* maker;
        const char* line;
    } const cases[] = {
        {"00-d0-ef-01-02-03", &registry, "IGT", "厂商：IGT"},
        {"00-1e-fc-01-02-03", &registry, "Bad Name Co", "厂商：Bad Name Co"},
        {"00-d0-ee-01-02-03", &registry, "", "厂商：未知"},
        {"02-d0-ef-01-02-03", &registry, "", "厂商：无（本地管理地址）"},
        {"", &registry, "", ""},
        {"00-d0-ef-01-02-03", &missing, "", ""},
        {"00-d0-ef-01-02-03", nullptr, "", ""},  // not read yet
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MakerOf(c.mac, c.registry), c.maker) << c.mac;
        EXPECT_EQ(MakerText(c.mac, c.registry), c.line) << c.mac;
    }
    EXPECT_EQ(HostNameText("evil\nname.local"), "主机名：evil name.local");
    EXPECT_EQ(HostNameText(""), "");
    EXPECT_EQ(CopyLine("203.0.113.7", "running", "00-d0-ef-01-02-03", "IGT"),
              "203.0.113.7\trunning\t00-d0-ef-01-02-03\tIGT");
    EXPECT_EQ(CopyLine("host\tname", "", "", "A\r\nB"), "host name\t\t\tA  B");
    EXPECT_EQ(CopyLine("203.0.113.7", "running", "00-d0-ef-01-02-03", "", "客厅\t电视"),
              "203.0.113.7\trunning\t00-d0-ef-01-02-03\t\t客厅 电视");
}

TEST(DeviceText, WhatTheMemoryAddsToATooltip) {
    const char* zone = std::getenv("TZ");
    const std::string saved = zone != nullptr ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    constexpr std::int64_t kWhen = 1796786580;  // 2026-12-09 03:23 UTC
    EXPECT_EQ(FirstSeenText(kWhen), "首次发现：2026-12-09 03:23");
    EXPECT_EQ(DeviceNameText("客厅\n电视"), "客厅 电视");
    EXPECT_EQ(ChangedMacText("00-d0-ef-01-02-03", "IGT", kWhen),
              "上次为 00-d0-ef-01-02-03（IGT），2026-12-09 03:23");
    EXPECT_EQ(ChangedMacText("00-d0-ef-01-02-03", "", kWhen),
              "上次为 00-d0-ef-01-02-03，2026-12-09 03:23");
    EXPECT_EQ(LastOnlineText(kWhen, "00-d0-ef-01-02-03", "打印机"),
              "最后发现：2026-12-09 03:23（00-d0-ef-01-02-03，打印机）");
    EXPECT_EQ(LastOnlineText(kWhen, "00-d0-ef-01-02-03", ""),
              "最后发现：2026-12-09 03:23（00-d0-ef-01-02-03）");
    EXPECT_EQ(LastOnlineText(kWhen, "", ""), "最后发现：2026-12-09 03:23");
    if (zone != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
}  // namespace talvik::test
