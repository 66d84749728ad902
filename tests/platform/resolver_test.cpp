#include <gtest/gtest.h>
#include <sched.h>

#include <optional>
#include <thread>

#include "platform/GetaddrinfoResolver.h"

namespace talvik {
namespace {

TEST(GetaddrinfoResolver, LocalhostResolvesAndNoNameElseDoes) {
    GetaddrinfoResolver resolver;
    EXPECT_EQ(resolver.Resolve("localhost"), 0x7F000001u);
    EXPECT_EQ(resolver.Resolve("127.0.0.1"), 0x7F000001u);
    EXPECT_FALSE(resolver.Resolve(""));
    EXPECT_FALSE(resolver.Resolve(std::string("localhost\0.invalid", 18)));

    // In an empty network namespace of its own, so no query leaves this machine.
    std::optional<std::uint32_t> result = 1;
    bool isolated = false;
    std::thread([&] {
        if ((isolated = ::unshare(CLONE_NEWNET) == 0)) {
            result = GetaddrinfoResolver().Resolve("talvik-test.invalid");
        }
    }).join();
    if (!isolated) {
        GTEST_SKIP() << "no network namespace for an isolated lookup";
    }
    EXPECT_FALSE(result);
}

}  // namespace
}  // namespace talvik
