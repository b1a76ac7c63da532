#include "platform/Clock.h"

#include <sched.h>
#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

namespace os
{
std::uint64_t MonotonicMicroseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

void SleepMicroseconds(std::uint64_t us)
{
    // The kernel may let a sleep of a normal thread run 50 us late to group
    // wake-ups (timer slack). The protocols here sleep for a device's poll
    // time thousands of times in a row, so ask for the least slack, once per
    // thread.
    thread_local const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)slackSet;
    // Even so a wake-up comes some tens of microseconds late, which adds up
    // over thousands of polls: a sleep long enough for it ends early by
    // kEarlyUs and gives the processor away until the end is reached.
    constexpr std::uint64_t kEarlyUs = 80;
    const std::uint64_t startUs = MonotonicMicroseconds();
    const std::uint64_t endUs = startUs + us;
    const std::uint64_t wakeUs = us >= 2 * kEarlyUs ? endUs - kEarlyUs : endUs;
    // Sleep to an absolute end, so that a signal's interruption does not
    // lengthen the sleep.
    timespec wake{};
    wake.tv_sec = static_cast<time_t>(wakeUs / 1000000u);
    wake.tv_nsec = static_cast<long>((wakeUs % 1000000u) * 1000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR)
    {
    }
    while (wakeUs != endUs && MonotonicMicroseconds() < endUs)
        sched_yield();
}
} // namespace os
