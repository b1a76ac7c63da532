#include "platform/Clock.h"

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
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1000000u);
    ts.tv_nsec = static_cast<long>((us % 1000000u) * 1000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR)
    {
    }
}
} // namespace os
