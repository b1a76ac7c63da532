#include "bcsp/BCSP_Slip_Layer.h"
#include "bcsp/BCSP_Link.h"

#include <cstring>

#include "bcsp/BCSP_Packet_Integrity_Layer.h"
#include "bcsp/BCSP_UART_Driver.h"

namespace
{
constexpr std::uint8_t kEnd = 0xC0;
constexpr std::uint8_t kEsc = 0xDB;
constexpr std::uint8_t kEscEnd = 0xDC;
constexpr std::uint8_t kEscEsc = 0xDD;
} // namespace

CBCSP_Slip_Layer::CBCSP_Slip_Layer() = default;

CBCSP_Slip_Layer::~CBCSP_Slip_Layer()
{
    SetUpper(nullptr);
    SetLower(nullptr);
    Reset();
}

HResult CBCSP_Slip_Layer::Init()
{
    return HR_OK;
}

void CBCSP_Slip_Layer::Reset()
{
    CMutexLock lock(m_rxMutex);
    m_rxLength = 0;
    m_inFrame = false;
    m_escape = false;
}

bool CBCSP_Slip_Layer::SendPacket(const BCSP_Packet& packet)
{
    const std::size_t payload = packet.payload != nullptr ? packet.length : 0;
    const bool withCrc = (packet.header[0] & bcsp::kCrcPresent) != 0;
    const std::size_t rawLength = 4 + payload + (withCrc ? 2 : 0);
    if (rawLength > kBufferSize)
        return false;

    std::memcpy(m_txRaw, packet.header, 4);
    if (payload > 0)
        std::memcpy(m_txRaw + 4, packet.payload, payload);
    if (withCrc)
    {
        // The crc word in memory order, low byte first.
        m_txRaw[4 + payload] = static_cast<std::uint8_t>(packet.crc & 0xFF);
        m_txRaw[5 + payload] = static_cast<std::uint8_t>(packet.crc >> 8);
    }

    std::size_t out = 0;
    auto put = [&](std::uint8_t b) {
        if (out < kBufferSize)
            m_txEncoded[out] = b;
        ++out;
    };
    put(kEnd);
    for (std::size_t i = 0; i < rawLength; ++i)
    {
        const std::uint8_t b = m_txRaw[i];
        if (b == kEnd)
        {
            put(kEsc);
            put(kEscEnd);
        }
        else if (b == kEsc)
        {
            put(kEsc);
            put(kEscEsc);
        }
        else
        {
            put(b);
        }
    }
    put(kEnd);
    if (out > kBufferSize)
        return false; // the escaped frame does not fit: never write past the buffer

    CBCSP_UART_Driver* lower = m_lower.load();
    if (lower == nullptr)
        return false;
    return lower->WriteBytes(m_txEncoded, out);
}

bool CBCSP_Slip_Layer::ReceiveBytes(const std::uint8_t* bytes, std::size_t length)
{
    if (bytes == nullptr)
        return true;
    CMutexLock lock(m_rxMutex);
    for (std::size_t i = 0; i < length; ++i)
    {
        const std::uint8_t b = bytes[i];
        std::int32_t store = -1;
        switch (b)
        {
        case kEnd:
            if (m_inFrame)
            {
                if (CBCSP_Packet_Integrity_Layer* upper = m_upper.load())
                    upper->ReceiveFrame(m_rxFrame, m_rxLength);
                m_rxLength = 0;
                m_inFrame = false;
            }
            else
            {
                m_inFrame = true;
            }
            m_escape = false;
            break;
        case kEsc:
            if (!m_escape)
            {
                m_escape = true;
            }
            else
            {
                m_inFrame = false;
                m_escape = false;
                m_rxLength = 0;
            }
            break;
        case kEscEnd:
            if (m_inFrame)
            {
                store = m_escape ? kEnd : kEscEnd;
                m_escape = false;
            }
            break;
        case kEscEsc:
            if (m_inFrame)
            {
                store = m_escape ? kEsc : kEscEsc;
                m_escape = false;
            }
            break;
        default:
            if (m_inFrame)
                store = b;
            break;
        }
        if (store >= 0)
        {
            if (m_rxLength >= kBufferSize)
            {
                // Longer than the frame buffer: drop the frame.
                m_inFrame = false;
                m_escape = false;
                m_rxLength = 0;
            }
            else
            {
                m_rxFrame[m_rxLength++] = static_cast<std::uint8_t>(store);
            }
        }
    }
    return true;
}

void CBCSP_Slip_Layer::SetUpper(CBCSP_Packet_Integrity_Layer* upper)
{
    LinkNeighbour(m_upper, upper, this, &CBCSP_Packet_Integrity_Layer::SetLower);
}

void CBCSP_Slip_Layer::SetLower(CBCSP_UART_Driver* lower)
{
    LinkNeighbour(m_lower, lower, this, &CBCSP_UART_Driver::SetUpper);
}
