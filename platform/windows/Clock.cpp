#include "platform/Clock.h"

#include <windows.h>

namespace os
{
std::uint64_t MonotonicMicroseconds()
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const auto freq = static_cast<std::uint64_t>(frequency);
    return ticks / freq * 1000000u + ticks % freq * 1000000u / freq;
}

void SleepMicroseconds(std::uint64_t us)
{
    if (us == 0)
        return;
    if (us < 1000)
    {
        // Sleep() counts whole milliseconds and the system's timer may round
        // them up further: a wait of a few microseconds (a device's pacing, or
        // any wait at a test's time scale) would last a millisecond or more.
        // Under a millisecond the thread yields until the deadline instead.
        const std::uint64_t deadline = MonotonicMicroseconds() + us;
        while (MonotonicMicroseconds() < deadline)
            ::SwitchToThread();
        return;
    }
    std::uint64_t ms = (us + 999) / 1000;
    while (ms > 0)
    {
        const DWORD chunk = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
        ::Sleep(chunk);
        ms -= chunk;
    }
}
} // namespace os
