#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace
{
// Restores the scale the test main set.
class ClockTest : public testing::Test
{
protected:
    void TearDown() override { CClock::SetTimeScale(m_saved); }
    double m_saved = CClock::GetTimeScale();
};
} // namespace

TEST_F(ClockTest, ScaleMapsProductTimeToRealTime)
{
    CClock::SetTimeScale(0.001);
    EXPECT_EQ(CClock::ToRealMicroseconds(3000), 3000u);  // 3 s of product time, 3 ms real
    EXPECT_EQ(CClock::ToRealMicroseconds(1), 1u);        // never rounds down to a zero wait
    EXPECT_EQ(CClock::ToRealMicroseconds(0), 0u);        // a zero wait stays a poll
    EXPECT_EQ(CClock::ToRealMilliseconds(1500), 2u);     // rounded up
    EXPECT_EQ(CClock::ToRealMilliseconds(kInfinite), kInfinite);
    EXPECT_EQ(CClock::ToRealMicroseconds(kInfinite), UINT64_MAX);

    CClock::SetTimeScale(1.0);
    EXPECT_EQ(CClock::ToRealMilliseconds(2000), 2000u);
    EXPECT_EQ(CClock::ToRealMilliseconds(kInfinite - 1), kInfinite - 1);
}

TEST_F(ClockTest, BadScalesFallBackToRealTime)
{
    CClock::SetTimeScale(0.0);
    EXPECT_EQ(CClock::GetTimeScale(), 1.0);
    CClock::SetTimeScale(-2.0);
    EXPECT_EQ(CClock::GetTimeScale(), 1.0);
}

TEST_F(ClockTest, SleepAndNowAgreeInProductTime)
{
    CClock::SetTimeScale(0.001);
    const std::uint64_t slept = CClock::SleptMs();
    const std::uint64_t start = CClock::NowMs();
    CClock::Sleep(5000); // about 5 ms real
    EXPECT_GE(CClock::NowMs() - start, 5000u);
    EXPECT_EQ(CClock::SleptMs() - slept, 5000u);
    // How far past its end a sleep wakes up is the machine's business, not a
    // test's: the benchmarks measure it (upgrade-overhead).
}

TEST_F(ClockTest, SleepsNeverEndEarly)
{
    // Short and long sleeps take different paths (a long one wakes a little
    // early and yields until its end); neither may come back before its end.
    CClock::SetTimeScale(0.001);
    for (const std::uint32_t ms : {1u, 50u, 150u, 159u, 160u, 161u, 400u, 1000u})
    {
        const std::uint64_t wantUs = CClock::ToRealMicroseconds(ms);
        const std::uint64_t start = os::MonotonicMicroseconds();
        CClock::Sleep(ms);
        EXPECT_GE(os::MonotonicMicroseconds() - start, wantUs) << ms;
    }
}

TEST_F(ClockTest, DeadlineExpiresAndCountsDown)
{
    CClock::SetTimeScale(0.001);
    CDeadline deadline(2000);
    EXPECT_FALSE(deadline.IsExpired());
    EXPECT_LE(deadline.RemainingMs(), 2000u);
    CClock::Sleep(2500);
    EXPECT_TRUE(deadline.IsExpired());
    EXPECT_EQ(deadline.RemainingMs(), 0u);

    CDeadline never(kInfinite);
    EXPECT_FALSE(never.IsExpired());
    EXPECT_EQ(never.RemainingMs(), kInfinite);
}
