#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "Lab.h"
#include "platform/HelperArpSender.h"

#ifdef TALVIK_TEST_HELPER

namespace talvik::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// Starts the helper as the unprivileged user nobody, with `capabilities` handed to it the way
// a file capability would.
std::string AsNobody(const std::string& capabilities) {
    const std::string path = ::testing::TempDir() + "talvik-arp-as-nobody" +
                             std::to_string(::getpid()) + (capabilities.empty() ? "" : "-raw");
    std::ofstream(path) << "#!/bin/sh\nexec /usr/bin/setpriv --reuid=65534 --regid=65534 "
                        << "--clear-groups " << capabilities << " " << TALVIK_TEST_HELPER
                        << " \"$@\"\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST_F(LabTest, TheHelperServesWithNoPrivilegeLeftAndEndsWithUs) {
    for (const std::string& path : {std::string(TALVIK_TEST_HELPER),
                                    AsNobody("--inh-caps +net_raw --ambient-caps +net_raw")}) {
        SCOPED_TRACE(path);
        // Started on a thread that ends before the sender is used: the helper must not go
        // with that thread. Its frames leave in the scanner's namespace, where it was started.
        std::unique_ptr<HelperArpSender> sender;
        ASSERT_TRUE(
            lab_->InScanner([&] { sender = HelperArpSender::Start(path, ArpSchedule{}, 2s); }));
        ASSERT_TRUE(sender);
        EXPECT_EQ(Ask(*sender, kHostIp), (Outcome{kNoError, kHostMac}));

        std::ifstream in("/proc/" + std::to_string(sender->Child()) + "/status");
        const std::string status{std::istreambuf_iterator<char>(in), {}};
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
            EXPECT_THAT(status, HasSubstr(std::string(set) + ":\t0000000000000000\n"));
        }
        EXPECT_THAT(status, HasSubstr("NoNewPrivs:\t1\n"));
        EXPECT_THAT(status, HasSubstr(path == TALVIK_TEST_HELPER ? "CapBnd:\t0000000000000000\n"
                                                                 : "Uid:\t65534\t"));

        const pid_t child = sender->Child();
        sender.reset();
        EXPECT_NE(::kill(child, 0), 0) << "the helper outlived its sender";
    }
    // Without the capability it refuses to serve.
    const std::string bare = AsNobody("");
    ASSERT_TRUE(
        lab_->InScanner([&] { EXPECT_FALSE(HelperArpSender::Start(bare, ArpSchedule{}, 2s)); }));
}

}  // namespace
}  // namespace talvik::testing

#endif
