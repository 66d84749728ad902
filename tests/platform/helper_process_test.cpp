#include <gtest/gtest.h>

#include <sys/stat.h>

#include <signal.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "NetnsPair.h"
#include "platform/HelperArpSender.h"

#ifdef TALVIK_TEST_HELPER

namespace talvik {
namespace {

using namespace std::chrono_literals;
using testing::kHostIp;
using testing::kHostMac;
using testing::NetnsPair;

std::map<std::string, std::string> ProcessStatus(pid_t pid) {
    std::map<std::string, std::string> fields;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            const auto value = line.find_first_not_of(" \t", colon + 1);
            fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return fields;
}

// Starts the helper as the unprivileged user nobody, with `capabilities` handed to it the way
// a file capability would.
std::string WrapperFor(const std::string& capabilities) {
    const std::string path = ::testing::TempDir() + "talvik-arp-as-nobody" +
                             std::to_string(::getpid()) + (capabilities.empty() ? "" : "-raw");
    std::ofstream script(path);
    script << "#!/bin/sh\nexec /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups "
           << capabilities << " " << TALVIK_TEST_HELPER << " \"$@\"\n";
    script.close();
    ::chmod(path.c_str(), 0755);
    return path;
}

class HelperProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::IsRoot()) {
            GTEST_SKIP() << "needs root to make network namespaces";
        }
        lab_ = std::make_unique<NetnsPair>();
        ASSERT_TRUE(lab_->Ok());
    }
    std::unique_ptr<NetnsPair> lab_;
};

TEST_F(HelperProcessTest, ServesWithNoPrivilegeLeftAndEndsWithUs) {
    for (const std::string& path : {std::string(TALVIK_TEST_HELPER),
                                    WrapperFor("--inh-caps +net_raw --ambient-caps +net_raw")}) {
        // Started on a thread that ends before the sender is used: the helper must not go
        // with that thread. Its frames leave in the scanner's namespace, where it was started.
        std::unique_ptr<HelperArpSender> sender;
        ASSERT_TRUE(
            lab_->InScanner([&] { sender = HelperArpSender::Start(path, ArpSchedule{}, 2s); }));
        ASSERT_TRUE(sender) << path;
        const pid_t child = sender->Child();

        std::uint8_t mac[6] = {};
        std::uint32_t length = 6;
        EXPECT_EQ(sender->SendARP(kHostIp, mac, &length, {}), kNoError) << path;
        EXPECT_TRUE(std::equal(kHostMac.begin(), kHostMac.end(), mac)) << path;
        EXPECT_EQ(sender->SendARP(0xCB007163, mac, &length, {}), kErrorBadNetName);

        auto status = ProcessStatus(child);
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
            EXPECT_EQ(status[set], "0000000000000000") << set << " of " << path;
        }
        EXPECT_EQ(status["NoNewPrivs"], "1") << path;
        if (path == TALVIK_TEST_HELPER) {
            EXPECT_EQ(status["CapBnd"], "0000000000000000");
        } else {
            EXPECT_EQ(status["Uid"].substr(0, 5), "65534") << status["Uid"];
        }

        sender.reset();
        EXPECT_NE(::kill(child, 0), 0) << "the helper outlived its sender";
    }
}

TEST_F(HelperProcessTest, WithoutTheCapabilityItRefusesAndIsNotUsed) {
    const std::string path = WrapperFor("");
    ASSERT_TRUE(
        lab_->InScanner([&] { EXPECT_FALSE(HelperArpSender::Start(path, ArpSchedule{}, 2s)); }));
}

}  // namespace
}  // namespace talvik

#endif
