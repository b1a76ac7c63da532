#include "bcsp/BCSP_Slip_Layer.h"
#include "bcsp/BCSP_Link.h"

#include <cstring>

#include "app/DiagnosticLog.h"
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
    m_discard = false;
}

bool CBCSP_Slip_Layer::SendPacket(const BCSP_Packet& packet)
{
    const std::size_t payload = packet.payload != nullptr ? packet.length : 0;
    const bool withCrc = (packet.header[0] & bcsp::kCrcPresent) != 0;
    const std::size_t rawLength = 4 + payload + (withCrc ? 2 : 0);
    if (rawLength > sizeof(m_txRaw))
    {
        LogPrintf("[ERROR] Slip : packet of %d bytes cannot be framed\n", static_cast<int>(rawLength));
        return false;
    }

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
        if (out < sizeof(m_txEncoded))
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
    if (out > sizeof(m_txEncoded))
        return false; // cannot happen for an accepted packet; never write past the buffer

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
        if (b == kEnd)
        {
            if (m_inFrame)
            {
                // A frame spoilt by a bad escape or by its length ends here
                // unseen; the next delimiter opens a fresh one.
                if (!m_discard)
                {
                    if (CBCSP_Packet_Integrity_Layer* upper = m_upper.load())
                        upper->ReceiveFrame(m_rxFrame, m_rxLength);
                }
                m_rxLength = 0;
                m_inFrame = false;
            }
            else
            {
                m_inFrame = true;
            }
            m_escape = false;
            m_discard = false;
            continue;
        }
        if (!m_inFrame || m_discard)
            continue;
        std::uint8_t store = b;
        if (m_escape)
        {
            m_escape = false;
            if (b == kEscEnd)
            {
                store = kEnd;
            }
            else if (b == kEscEsc)
            {
                store = kEsc;
            }
            else
            {
                // 0xDB followed by anything but 0xDC or 0xDD: the frame is
                // corrupt. Drop it, but stay in step with the delimiters.
                LogPrintf("Slip: Invalid escape [0xDB 0x%02X]! Frame discarded\n", b);
                m_discard = true;
                m_rxLength = 0;
                continue;
            }
        }
        else if (b == kEsc)
        {
            m_escape = true;
            continue;
        }
        if (m_rxLength >= kBufferSize)
        {
            // Longer than the frame buffer: drop the frame.
            m_discard = true;
            m_rxLength = 0;
            continue;
        }
        m_rxFrame[m_rxLength++] = store;
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
