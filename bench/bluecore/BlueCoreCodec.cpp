#include "bench/bluecore/BlueCoreCodec.h"

#include <cstring>

namespace bluecore
{
const std::uint8_t kSync[4] = {0xDA, 0xDC, 0xED, 0xED};
const std::uint8_t kSyncResp[4] = {0xAC, 0xAF, 0xEF, 0xEE};
const std::uint8_t kConf[4] = {0xAD, 0xEF, 0xAC, 0xED};
const std::uint8_t kConfResp[4] = {0xDE, 0xAD, 0xD0, 0xD0};

std::uint16_t WireCrc(const std::uint8_t* bytes, std::size_t length)
{
    std::uint16_t reg = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i)
    {
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? static_cast<std::uint16_t>((reg >> 1) ^ 0x8408) : static_cast<std::uint16_t>(reg >> 1);
    }
    std::uint16_t reversed = 0;
    for (int bit = 0; bit < 16; ++bit)
        if (reg & (1u << bit))
            reversed |= static_cast<std::uint16_t>(1u << (15 - bit));
    return reversed;
}

std::vector<std::uint8_t> BuildPacket(const SWirePacket& p)
{
    const std::size_t n = p.payload.size() & 0x0FFF;
    std::vector<std::uint8_t> raw(4 + n + (p.crcPresent ? 2 : 0));
    raw[0] = static_cast<std::uint8_t>((p.seq & 7) | ((p.ack & 7) << 3) | (p.crcPresent ? 0x40 : 0) |
                                       (p.reliable ? 0x80 : 0));
    raw[1] = static_cast<std::uint8_t>((p.channel & 0x0F) | ((n & 0x0F) << 4));
    raw[2] = static_cast<std::uint8_t>(n >> 4);
    raw[3] = static_cast<std::uint8_t>(0xFF - ((raw[0] + raw[1] + raw[2]) & 0xFF));
    for (std::size_t i = 0; i < n; ++i)
        raw[4 + i] = p.payload[i];
    if (p.crcPresent)
    {
        const std::uint16_t crc = WireCrc(raw.data(), 4 + n);
        raw[4 + n] = static_cast<std::uint8_t>(crc >> 8);
        raw[5 + n] = static_cast<std::uint8_t>(crc & 0xFF);
    }
    return raw;
}

std::vector<std::uint8_t> SlipEncode(const std::vector<std::uint8_t>& raw)
{
    std::vector<std::uint8_t> out;
    out.reserve(raw.size() + 8);
    out.push_back(0xC0);
    for (std::uint8_t b : raw)
    {
        if (b == 0xC0)
        {
            out.push_back(0xDB);
            out.push_back(0xDC);
        }
        else if (b == 0xDB)
        {
            out.push_back(0xDB);
            out.push_back(0xDD);
        }
        else
        {
            out.push_back(b);
        }
    }
    out.push_back(0xC0);
    return out;
}

std::vector<std::uint8_t> EncodeFrame(const SWirePacket& packet)
{
    return SlipEncode(BuildPacket(packet));
}

std::optional<SWirePacket> ParsePacket(const std::uint8_t* bytes, std::size_t length, EParseError* error)
{
    auto fail = [&](EParseError e) -> std::optional<SWirePacket> {
        if (error != nullptr)
            *error = e;
        return std::nullopt;
    };
    if (error != nullptr)
        *error = EParseError::None;
    if (bytes == nullptr || length < 4)
        return fail(EParseError::TooShort);
    if (((bytes[0] + bytes[1] + bytes[2] + bytes[3]) & 0xFF) != 0xFF)
        return fail(EParseError::Checksum);
    const std::size_t n = (static_cast<std::size_t>(bytes[2]) << 4) | (bytes[1] >> 4);
    const bool crc = (bytes[0] & 0x40) != 0;
    if (length != 4 + n + (crc ? 2u : 0u))
        return fail(EParseError::Length);
    if (crc)
    {
        const std::uint16_t expected = WireCrc(bytes, 4 + n);
        const std::uint16_t got = static_cast<std::uint16_t>((bytes[4 + n] << 8) | bytes[5 + n]);
        if (expected != got)
            return fail(EParseError::Crc);
    }
    SWirePacket p;
    p.seq = bytes[0] & 7;
    p.ack = (bytes[0] >> 3) & 7;
    p.crcPresent = crc;
    p.reliable = (bytes[0] & 0x80) != 0;
    p.channel = bytes[1] & 0x0F;
    p.payload.assign(bytes + 4, bytes + 4 + n);
    return p;
}

std::vector<std::vector<std::uint8_t>> CSlipDecoder::Feed(const std::uint8_t* bytes, std::size_t length)
{
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t i = 0; i < length; ++i)
    {
        const std::uint8_t b = bytes[i];
        if (b == 0xC0)
        {
            if (m_inFrame && !m_frame.empty())
            {
                frames.push_back(m_frame);
                m_frame.clear();
                // The closing delimiter may also open the next frame.
            }
            m_inFrame = true;
            m_escape = false;
            continue;
        }
        if (!m_inFrame)
            continue;
        if (m_escape)
        {
            m_escape = false;
            if (b == 0xDC)
                m_frame.push_back(0xC0);
            else if (b == 0xDD)
                m_frame.push_back(0xDB);
            else
            {
                // Invalid escape: drop the frame.
                m_frame.clear();
                m_inFrame = false;
            }
            continue;
        }
        if (b == 0xDB)
        {
            m_escape = true;
            continue;
        }
        m_frame.push_back(b);
        if (m_frame.size() > 8192)
        {
            m_frame.clear();
            m_inFrame = false;
        }
    }
    return frames;
}

void CSlipDecoder::Reset()
{
    m_frame.clear();
    m_inFrame = false;
    m_escape = false;
}
} // namespace bluecore
