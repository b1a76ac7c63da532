#include "platform/Clock.h"

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
    // Sleep to an absolute end, so that a signal's interruption does not
    // lengthen the sleep.
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    const std::uint64_t ns = static_cast<std::uint64_t>(end.tv_nsec) + (us % 1000000u) * 1000u;
    end.tv_sec += static_cast<time_t>(us / 1000000u + ns / 1000000000u);
    end.tv_nsec = static_cast<long>(ns % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR)
    {
    }
}
} // namespace os
