#pragma once
// A small generator of our own, so that a seed draws the same runs on every
// compiler and library.
#include <cstdint>

class CSoakRandom
{
public:
    explicit CSoakRandom(std::uint32_t seed) : m_state(seed * 2654435761u + 0x9E3779B9u)
    {
        if (m_state == 0)
            m_state = 0x9E3779B9u;
    }
    std::uint32_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : Next() % n; }
    std::uint32_t Between(std::uint32_t low, std::uint32_t high) { return low + Below(high - low + 1); }
    bool Chance(std::uint32_t percent) { return Below(100) < percent; }

private:
    std::uint32_t m_state;
};
