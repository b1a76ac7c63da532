#pragma once
// The one clock of the system. Every sleep, wait and time-out goes through it.
//
// Durations are given in product milliseconds. The time scale turns them into
// real time: 1.0 in the product, about 0.001 in tests and on the bench, so a
// 3,000 ms wait costs 3 ms there. kInfinite stays infinite at any scale, and
// a non-zero duration never becomes a zero (non-blocking) one.
//
// Thread safety: every function may be called from any thread. The scale is
// meant to be set once at start-up, before other threads run.

#include <cstdint>

#include "platform/Types.h"

class CClock
{
public:
    static void SetTimeScale(double scale);
    static double GetTimeScale();

    // Sleeps for ms product milliseconds (scaled).
    static void Sleep(std::uint32_t ms);

    // Product milliseconds asked for through Sleep since the process started,
    // summed over every thread (an infinite sleep adds nothing). The bench
    // uses it to tell the waits an upgrade must make from its overhead.
    static std::uint64_t SleptMs();

    // The real duration, in microseconds, of ms product milliseconds.
    // kInfinite maps to UINT64_MAX.
    static std::uint64_t ToRealMicroseconds(std::uint32_t ms);

    // The real duration in whole milliseconds, rounded up (kInfinite stays).
    static std::uint32_t ToRealMilliseconds(std::uint32_t ms);

    // Monotonic time in product milliseconds since an arbitrary origin.
    static std::uint64_t NowMs();
};

// A point in product time after which a wait has expired; use it instead of
// repeated fixed sleeps when polling for a condition.
class CDeadline
{
public:
    explicit CDeadline(std::uint32_t timeoutMs);
    bool IsExpired() const;
    // Product milliseconds left (0 when expired, kInfinite for an infinite deadline).
    std::uint32_t RemainingMs() const;

private:
    bool m_infinite;
    std::uint64_t m_endMs;
};

// OS backend hooks (platform/<os>/Clock*.cpp).
namespace os
{
// Monotonic real time in microseconds.
std::uint64_t MonotonicMicroseconds();
// Real sleep of at least us microseconds.
void SleepMicroseconds(std::uint64_t us);
} // namespace os
