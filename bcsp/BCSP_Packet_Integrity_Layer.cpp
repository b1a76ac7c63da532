#include "bcsp/BCSP_Packet_Integrity_Layer.h"
#include "bcsp/BCSP_Link.h"

#include <cstdlib>
#include <cstring>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_Mux_Layer.h"
#include "bcsp/BCSP_Slip_Layer.h"

namespace bcsp
{
const std::uint16_t kCrcTable[16] = {
    0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
    0x8408, 0x9489, 0xA50A, 0xB58B, 0xC60C, 0xD68D, 0xE70E, 0xF78F,
};

std::uint16_t CrcUpdate(std::uint16_t crc, const std::uint8_t* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
    {
        const std::uint8_t b = bytes[i];
        crc = static_cast<std::uint16_t>((crc >> 4) ^ kCrcTable[(crc ^ b) & 0x0F]);
        crc = static_cast<std::uint16_t>((crc >> 4) ^ kCrcTable[(crc ^ (b >> 4)) & 0x0F]);
    }
    return crc;
}

std::uint16_t BitReverse16(std::uint16_t value)
{
    std::uint16_t out = 0;
    for (int i = 0; i < 16; ++i)
    {
        out = static_cast<std::uint16_t>((out << 1) | (value & 1));
        value = static_cast<std::uint16_t>(value >> 1);
    }
    return out;
}

std::uint16_t CrcWord(const std::uint8_t* bytes, std::size_t length)
{
    const std::uint16_t reversed = BitReverse16(CrcUpdate(0xFFFF, bytes, length));
    return static_cast<std::uint16_t>((reversed >> 8) | (reversed << 8));
}

std::uint8_t HeaderChecksum(const std::uint8_t* header)
{
    return static_cast<std::uint8_t>(~(header[0] + header[1] + header[2]));
}
} // namespace bcsp

CBCSP_Packet_Integrity_Layer::CBCSP_Packet_Integrity_Layer() = default;

CBCSP_Packet_Integrity_Layer::~CBCSP_Packet_Integrity_Layer()
{
    SetUpper(nullptr);
    SetLower(nullptr);
}

HResult CBCSP_Packet_Integrity_Layer::Init()
{
    return HR_OK;
}

void CBCSP_Packet_Integrity_Layer::Reset()
{
}

void CBCSP_Packet_Integrity_Layer::EnableCRC(bool enable)
{
    m_crcEnabled.store(enable);
}

bool CBCSP_Packet_Integrity_Layer::SendPacket(BCSP_Packet& packet)
{
    const std::uint16_t length = packet.payload != nullptr ? packet.length : 0;
    packet.length = length;
    packet.header[1] = static_cast<std::uint8_t>((packet.header[1] & 0x0F) | ((length & 0x0F) << 4));
    packet.header[2] = static_cast<std::uint8_t>((length >> 4) & 0xFF);
    const bool crc = m_crcEnabled.load();
    if (crc)
        packet.header[0] |= bcsp::kCrcPresent;
    packet.header[3] = bcsp::HeaderChecksum(packet.header);
    if (crc)
    {
        std::uint16_t reg = bcsp::CrcUpdate(0xFFFF, packet.header, 4);
        if (length > 0)
            reg = bcsp::CrcUpdate(reg, packet.payload, length);
        const std::uint16_t reversed = bcsp::BitReverse16(reg);
        packet.crc = static_cast<std::uint16_t>((reversed >> 8) | (reversed << 8));
    }
    // A frame the framing or byte layer refused is reported, so that the
    // multiplexer does not count it as sent.
    CBCSP_Slip_Layer* lower = m_lower.load();
    return lower != nullptr && lower->SendPacket(packet);
}

bool CBCSP_Packet_Integrity_Layer::ReceiveFrame(const std::uint8_t* bytes, std::size_t length)
{
    bool valid = bytes != nullptr && length >= 4;
    std::size_t n = 0;
    std::uint16_t crcWord = 0;
    if (valid)
    {
        const std::uint8_t sum = static_cast<std::uint8_t>(bytes[0] + bytes[1] + bytes[2]);
        const std::uint8_t notCheck = static_cast<std::uint8_t>(~bytes[3]);
        if (sum != notCheck)
        {
            LogPrintf("PktInt: Invalid Checkum: [0x%02X] + [0x%02X] + [0x%02X] = [0x%02X] != ~[0x%02X] != 0\n", bytes[0],
                      bytes[1], bytes[2], sum, notCheck);
            valid = false;
        }
    }
    if (valid)
    {
        n = (static_cast<std::size_t>(bytes[2]) << 4) | (bytes[1] >> 4);
        const bool withCrc = (bytes[0] & bcsp::kCrcPresent) != 0;
        const std::size_t expected = n + 4 + (withCrc ? 2 : 0);
        if (expected != length)
        {
            LogPrintf("PktInt: Invalid Length : Exp [%d] Actual [%d]\n", static_cast<int>(expected),
                      static_cast<int>(length));
            valid = false;
        }
        else if (withCrc)
        {
            crcWord = bcsp::CrcWord(bytes, n + 4);
            const std::uint16_t received =
                static_cast<std::uint16_t>(bytes[n + 4] | (static_cast<std::uint16_t>(bytes[n + 5]) << 8));
            if (crcWord != received)
            {
                LogPrintf("PktInt: Invalid CRC : Exp [0x%04X] Actual [0x%04X]\n", crcWord, received);
                valid = false;
            }
        }
    }
    if (!valid)
    {
        LogPrintf("PktInt: Invalid Packet! Discarded\n");
        return true;
    }

    auto* packet = static_cast<BCSP_Packet*>(std::calloc(1, sizeof(BCSP_Packet)));
    if (packet == nullptr)
        return true;
    std::memcpy(packet->header, bytes, 4);
    packet->length = static_cast<std::uint16_t>(n);
    packet->crc = crcWord;
    if (n > 0)
    {
        packet->payload = static_cast<std::uint8_t*>(std::malloc(n));
        if (packet->payload == nullptr)
        {
            std::free(packet);
            return true;
        }
        std::memcpy(packet->payload, bytes + 4, n);
    }
    if (CBCSP_Mux_Layer* upper = m_upper.load())
        upper->ReceivePacket(*packet);
    std::free(packet->payload);
    std::free(packet);
    return true;
}

void CBCSP_Packet_Integrity_Layer::SetUpper(CBCSP_Mux_Layer* upper)
{
    LinkNeighbour(m_upper, upper, this, &CBCSP_Mux_Layer::SetLower);
}

void CBCSP_Packet_Integrity_Layer::SetLower(CBCSP_Slip_Layer* lower)
{
    LinkNeighbour(m_lower, lower, this, &CBCSP_Slip_Layer::SetUpper);
}
