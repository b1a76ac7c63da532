#include "platform/Clock.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

namespace
{
std::atomic<double> g_timeScale{1.0};
std::atomic<std::uint64_t> g_sleptMs{0};
}

void CClock::SetTimeScale(double scale)
{
    if (!(scale > 0.0) || !std::isfinite(scale))
        scale = 1.0;
    g_timeScale.store(scale);
}

double CClock::GetTimeScale()
{
    return g_timeScale.load();
}

std::uint64_t CClock::ToRealMicroseconds(std::uint32_t ms)
{
    if (ms == kInfinite)
        return std::numeric_limits<std::uint64_t>::max();
    if (ms == 0)
        return 0;
    const double us = std::ceil(static_cast<double>(ms) * 1000.0 * GetTimeScale());
    return us < 1.0 ? 1 : static_cast<std::uint64_t>(us);
}

std::uint32_t CClock::ToRealMilliseconds(std::uint32_t ms)
{
    if (ms == kInfinite)
        return kInfinite;
    const std::uint64_t us = ToRealMicroseconds(ms);
    const std::uint64_t realMs = (us + 999) / 1000;
    return realMs >= kInfinite ? kInfinite - 1 : static_cast<std::uint32_t>(realMs);
}

void CClock::Sleep(std::uint32_t ms)
{
    if (ms == kInfinite)
    {
        for (;;)
            os::SleepMicroseconds(3600ull * 1000 * 1000);
    }
    g_sleptMs.fetch_add(ms, std::memory_order_relaxed);
    os::SleepMicroseconds(ToRealMicroseconds(ms));
}

std::uint64_t CClock::SleptMs()
{
    return g_sleptMs.load(std::memory_order_relaxed);
}

std::uint64_t CClock::NowMs()
{
    const double realUs = static_cast<double>(os::MonotonicMicroseconds());
    return static_cast<std::uint64_t>(realUs / 1000.0 / GetTimeScale());
}

CDeadline::CDeadline(std::uint32_t timeoutMs)
    : m_infinite(timeoutMs == kInfinite)
    , m_endMs(m_infinite ? 0 : CClock::NowMs() + timeoutMs)
{
}

bool CDeadline::IsExpired() const
{
    return !m_infinite && CClock::NowMs() >= m_endMs;
}

std::uint32_t CDeadline::RemainingMs() const
{
    if (m_infinite)
        return kInfinite;
    const std::uint64_t now = CClock::NowMs();
    if (now >= m_endMs)
        return 0;
    const std::uint64_t left = m_endMs - now;
    return left >= kInfinite ? kInfinite - 1 : static_cast<std::uint32_t>(left);
}
