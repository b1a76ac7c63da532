#pragma once
// SLIP framing: a BCSP_Packet becomes one frame (0xC0 ... 0xC0, with 0xC0 and
// 0xDB escaped as 0xDB 0xDC and 0xDB 0xDD); received frames are decoded byte
// by byte and handed to the packet-integrity layer.
//
// Threads: SendPacket runs in the multiplexer's worker, ReceiveBytes in the
// transport's reader (under the decoder mutex, which Reset also takes).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_Packet.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBCSP_Packet_Integrity_Layer;
class CBCSP_UART_Driver;

class CBCSP_Slip_Layer
{
public:
    static constexpr std::size_t kBufferSize = bcsp::kFrameBufferSize;
    static constexpr std::size_t kEncodedSize = bcsp::kMaxEncodedFrameSize;

    CBCSP_Slip_Layer();

    virtual HResult Init();
    virtual void Reset();
    // False when the packet is longer than any the stack accepts, or the
    // byte layer refused its frame. Every accepted payload can be framed:
    // the transmit buffers hold the worst case of escaping.
    virtual bool SendPacket(const BCSP_Packet& packet);
    virtual bool ReceiveBytes(const std::uint8_t* bytes, std::size_t length);
    virtual void SetUpper(CBCSP_Packet_Integrity_Layer* upper);
    virtual void SetLower(CBCSP_UART_Driver* lower);
    virtual ~CBCSP_Slip_Layer();

    CBCSP_Slip_Layer(const CBCSP_Slip_Layer&) = delete;
    CBCSP_Slip_Layer& operator=(const CBCSP_Slip_Layer&) = delete;

private:
    std::atomic<CBCSP_Packet_Integrity_Layer*> m_upper{nullptr};
    std::atomic<CBCSP_UART_Driver*> m_lower{nullptr};

    std::uint8_t m_rxFrame[kBufferSize];
    std::uint32_t m_rxLength = 0;
    bool m_inFrame = false;
    bool m_escape = false;
    // The current frame is spoilt (bad escape, too long): skip to its end.
    bool m_discard = false;
    // Guards the decoder against a Reset from the client's thread.
    CMutex m_rxMutex;

    // Transmit side: the raw frame and its encoding, sized for the worst case.
    std::uint8_t m_txRaw[bcsp::kMaxRawFrameSize];
    std::uint8_t m_txEncoded[bcsp::kMaxEncodedFrameSize];
};
