// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

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
}

}  // namespace
}  // namespace talvik::test
