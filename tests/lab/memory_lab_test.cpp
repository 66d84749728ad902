// SPDX-License-Identifier: GPL-3.0-or-later
// Device memory through the real engine: talvik-bench scans the lab twice with --remember, and
// the store is read back. Needs root; skipped without it, except under CI=true.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "store/DeviceStore.h"
#include "tests/support/LabHarness.h"

namespace talvik::test {
namespace {

std::string Host(int n) {
    char json[96];
    std::snprintf(json, sizeof json, R"({"ip": "203.0.113.%d", "mac": "02:7a:00:00:00:%02x"})", n,
                  n);
    return json;
}

TEST(MemoryLab, RemembersWhatEachScanFound) {
    std::string why;
    if (!LabAvailable(SenderKind::Packet, why)) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << "the network lab cannot run under CI: " << why;
        }
        GTEST_SKIP() << why;
    }
    char pattern[] = "/tmp/talvik-memory-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string path = dir + "/devices.sqlite3";
    // The lab's default route goes through .254, which the scans find too.
    const Lab lab("r", true, {});
    ASSERT_TRUE(lab.Up());
    const std::vector<std::string> range{"--first",       "203.0.113.240", "--last",
                                         "203.0.113.254", "--remember",    path};
    const auto scan = [&](const std::string& hosts) {
        const Responder responder(lab, "[" + hosts + "]", 1);
        EXPECT_TRUE(responder.Running());
        return RunBench(lab, SenderKind::Packet, range);
    };

    const auto first = scan(Host(250) + ", " + Host(251) + ", " + Host(254));
    ASSERT_EQ(first.Value("completed"), "1") << first.raw;
    // The kernel never met the gateway (the packet socket asks past it), so its answer to the
    // scan tells the network.
    EXPECT_EQ(first.Value("store_network"), "203.0.113.0/24 02-7a-00-00-00-fe") << first.raw;
    EXPECT_EQ(first.Number("store_new"), 3) << first.raw;

    const auto second = scan(Host(250) + ", " + Host(252) + ", " + Host(254));
    EXPECT_EQ(second.Value("store_network"), first.Value("store_network"));
    EXPECT_EQ(second.Number("store_new"), 1) << second.raw;

    auto opened = store::DeviceStore::Open(path);
    ASSERT_TRUE(opened.store) << store::DescribeProblem(opened.status);
    const auto listed = opened.store->Devices({"203.0.113.0/24", "02-7a-00-00-00-fe"});
    ASSERT_EQ(listed.devices.size(), 4u);
    const std::pair<std::uint32_t, bool> expected[] = {
        {0xCB0071FA, true}, {0xCB0071FB, false}, {0xCB0071FC, true}, {0xCB0071FE, true}};
    for (std::size_t i = 0; i < listed.devices.size(); ++i) {
        EXPECT_EQ(listed.devices[i].address, expected[i].first) << i;
        EXPECT_EQ(listed.devices[i].online, expected[i].second) << i;
    }
    opened.store.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace talvik::test
