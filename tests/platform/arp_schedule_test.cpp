#include <gtest/gtest.h>

#include "platform/ArpSchedule.h"

namespace talvik {
namespace {

using std::chrono::milliseconds;

TEST(ArpSchedule, DefaultIsValidAndRoundTrips) {
    const ArpSchedule schedule;
    EXPECT_TRUE(schedule.Valid());
    const auto back = ArpSchedule::FromText(schedule.ToText());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sends, schedule.sends);
    EXPECT_EQ(back->giveUp, schedule.giveUp);
}

TEST(ArpSchedule, TextIsReadStrictly) {
    const auto one = ArpSchedule::FromText("0/1000");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->sends, std::vector<milliseconds>{milliseconds(0)});
    EXPECT_EQ(one->giveUp, milliseconds(1000));

    for (const char* bad :
         {"", "/", "0", "0/", "/250", "5/250", "0,0/250", "0,80,40/250", "0,250/250", "0,-5/250",
          "0, 75/250", "0,75/250 ", "0,,75/250", "0/250/1", "0/10001", "0x10/250",
          "0,1,2,3,4,5,6,7,8/250", "0,99999999999999999999/250"}) {
        EXPECT_FALSE(ArpSchedule::FromText(bad)) << '"' << bad << '"';
    }
    EXPECT_TRUE(ArpSchedule::FromText("0,1,2,3,4,5,6,7/250"));
}

TEST(SendPacer, LetsABurstGoThenSpacesFramesOut) {
    using Clock = SendPacer::Clock;
    SendPacer pacer(1000, 4);  // one frame a millisecond, four at once
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pacer.Reserve(t0), t0) << i;
    }
    EXPECT_EQ(pacer.Reserve(t0), t0 + milliseconds(1));
    EXPECT_EQ(pacer.Reserve(t0), t0 + milliseconds(2));
    // An idle spell refills the burst, but never beyond it.
    const Clock::time_point later = t0 + milliseconds(100);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pacer.Reserve(later), later) << i;
    }
    EXPECT_EQ(pacer.Reserve(later), later + milliseconds(1));
}

}  // namespace
}  // namespace talvik
