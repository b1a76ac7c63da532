#include <gtest/gtest.h>

#include <atomic>

#include "platform/Clock.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/TestSupport.h"

TEST(EventTest, ManualResetStaysSignalledUntilReset)
{
    CEvent e;
    ASSERT_TRUE(e.Create(true, false));
    EXPECT_EQ(e.Wait(0), EWaitResult::Timeout);
    e.Set();
    EXPECT_EQ(e.Wait(0), EWaitResult::Signalled);
    EXPECT_EQ(e.Wait(0), EWaitResult::Signalled);
    e.Reset();
    EXPECT_EQ(e.Wait(10), EWaitResult::Timeout);
}

TEST(EventTest, AutoResetReleasesOneWaitThenResets)
{
    CEvent e;
    ASSERT_TRUE(e.Create(false, true));
    EXPECT_EQ(e.Wait(0), EWaitResult::Signalled);
    EXPECT_EQ(e.Wait(0), EWaitResult::Timeout);
}

// Whenever the two waiters get to wait (a loaded machine may start them
// late, even after a Set: the event then stays signalled for the first to
// come), one Set wakes exactly one of them, and a second Set the other.
TEST(EventTest, AutoResetWakesExactlyOneOfTwoWaiters)
{
    CEvent e;
    ASSERT_TRUE(e.Create(false, false));
    std::atomic<int> woken{0};
    CThread a, b;
    auto waiter = [&] {
        if (e.Wait(kInfinite) == EWaitResult::Signalled)
            ++woken;
        return 0u;
    };
    ASSERT_TRUE(a.Start(waiter));
    ASSERT_TRUE(b.Start(waiter));
    CClock::Sleep(2000); // most often both wait by now; either way the outcome is the same
    e.Set();
    CDeadline first(RealSeconds(20));
    while (woken.load() < 1 && !first.IsExpired())
        CClock::Sleep(1);
    EXPECT_EQ(woken.load(), 1);
    CClock::Sleep(3000);
    EXPECT_EQ(woken.load(), 1); // not both
    e.Set();
    CDeadline second(RealSeconds(20));
    while (woken.load() < 2 && !second.IsExpired())
        CClock::Sleep(1);
    EXPECT_EQ(woken.load(), 2);
    // Whatever happened, no waiter is left behind.
    e.Set();
    e.Set();
    EXPECT_TRUE(a.Wait(RealSeconds(60)));
    EXPECT_TRUE(b.Wait(RealSeconds(60)));
}

TEST(EventTest, WaitAnyReportsTheSignalledEventAndTimesOut)
{
    CEvent stop, data;
    ASSERT_TRUE(stop.Create(true, false));
    ASSERT_TRUE(data.Create(true, false));
    const CEvent* events[] = {&stop, &data};
    EXPECT_EQ(CEvent::WaitAny(events, 2, 20), -1);

    CThread setter;
    ASSERT_TRUE(setter.Start([&] {
        CClock::Sleep(1000);
        data.Set();
        return 0u;
    }));
    EXPECT_EQ(CEvent::WaitAny(events, 2, kInfinite), 1);
    setter.Wait(kInfinite);

    stop.Set(); // both signalled: the lower index wins, as on Windows
    EXPECT_EQ(CEvent::WaitAny(events, 2, 0), 0);
}

TEST(EventTest, InvalidEventsFailTheWait)
{
    CEvent never;
    EXPECT_EQ(never.Wait(0), EWaitResult::Failed);
    EXPECT_FALSE(never.Set());
    const CEvent* none[] = {nullptr};
    EXPECT_EQ(CEvent::WaitAny(none, 1, 0), -2);
    EXPECT_EQ(CEvent::WaitAny(none, 0, 0), -2);
}

TEST(MutexTest, GuardsACounterAcrossThreads)
{
    CMutex mutex;
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i)
        {
            CMutexLock lock(mutex);
            ++counter;
        }
        return 0u;
    };
    CThread a, b;
    ASSERT_TRUE(a.Start(work));
    ASSERT_TRUE(b.Start(work));
    a.Wait(kInfinite);
    b.Wait(kInfinite);
    EXPECT_EQ(counter, 40000);
    EXPECT_TRUE(mutex.TryLock());
    mutex.Unlock();
}
