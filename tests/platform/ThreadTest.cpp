#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

TEST(ThreadTest, ReportsRunningStateAndExitCode)
{
    CEvent release;
    ASSERT_TRUE(release.Create(true, false));
    CThread t;
    ASSERT_TRUE(t.Start([&] {
        release.Wait(kInfinite);
        return 42u;
    }));
    EXPECT_TRUE(t.IsValid());
    EXPECT_TRUE(t.IsRunning());
    std::uint32_t code = 0;
    EXPECT_FALSE(t.GetExitCode(&code)); // still running
    EXPECT_FALSE(t.Wait(10));
    EXPECT_NE(t.GetId(), 0u);
    EXPECT_NE(t.GetId(), CThread::CurrentId());

    release.Set();
    EXPECT_TRUE(t.Wait(kInfinite));
    EXPECT_FALSE(t.IsRunning());
    ASSERT_TRUE(t.GetExitCode(&code));
    EXPECT_EQ(code, 42u);
    t.Close();
    EXPECT_FALSE(t.IsValid());
    EXPECT_TRUE(t.Wait(0)); // nothing to wait for
}

TEST(ThreadTest, ClosingARunningThreadDetachesIt)
{
    auto release = std::make_shared<CEvent>();
    ASSERT_TRUE(release->Create(true, false));
    auto done = std::make_shared<CEvent>();
    ASSERT_TRUE(done->Create(true, false));
    {
        CThread t;
        ASSERT_TRUE(t.Start([release, done] {
            release->Wait(kInfinite);
            done->Set();
            return 0u;
        }));
    } // destroyed while running
    release->Set();
    EXPECT_EQ(done->Wait(60000), EWaitResult::Signalled);
    CClock::Sleep(100);
}
