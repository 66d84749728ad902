#include <gtest/gtest.h>
#include <sched.h>

#include <optional>
#include <thread>

#include "platform/GetaddrinfoResolver.h"

namespace talvik {
namespace {

TEST(GetaddrinfoResolver, LocalhostFromTheHostsFile) {
    GetaddrinfoResolver resolver;
    EXPECT_EQ(resolver.Resolve("localhost"), 0x7F000001u);
    EXPECT_EQ(resolver.Resolve("127.0.0.1"), 0x7F000001u);
}

TEST(GetaddrinfoResolver, EmptyAndTruncatedNamesFail) {
    GetaddrinfoResolver resolver;
    EXPECT_FALSE(resolver.Resolve(""));
    EXPECT_FALSE(resolver.Resolve(std::string("localhost\0.invalid", 18)));
}

TEST(GetaddrinfoResolver, NameUnderInvalidFails) {
    // The lookup runs on a thread of its own in an empty network namespace, so no query
    // leaves this machine.
    std::optional<std::uint32_t> result = 1;
    bool isolated = false;
    std::thread lookup([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            return;
        }
        isolated = true;
        result = GetaddrinfoResolver().Resolve("talvik-test.invalid");
    });
    lookup.join();
    if (!isolated) {
        GTEST_SKIP() << "no network namespace for an isolated lookup";
    }
    EXPECT_FALSE(result);
}

}  // namespace
}  // namespace talvik
