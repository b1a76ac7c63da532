#pragma once
// The byte layer: a transmit ring that is cut into transport chunks of at
// most 59 bytes (a frame's last chunk ends at its closing 0xC0), and a
// receive ring that is gathered into whole 0xC0-delimited frames for the
// framing layer.
//
// Threads: WriteBytes and DrainTransmit run in the multiplexer's worker;
// DeliverBytes and DrainReceive in the transport's reader, under the link
// mutex and then the receive-ring mutex. SetLower takes the link mutex, so a
// transport is never unlinked while a frame is being handed up, and then
// waits for a transmit drain in progress, so that once it returns the old
// transport is no longer called.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bcsp/BCSP_Packet.h"
#include "bcsp/BCSP_Worker.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBCSP_Slip_Layer;
class CBCSP_HID_Layer;

class CBCSP_UART_Driver
{
public:
    static constexpr std::size_t kRingSize = bcsp::kFrameBufferSize;
    // The transmit ring holds one worst-case frame (one slot stays free).
    static constexpr std::size_t kTxRingSize = bcsp::kMaxEncodedFrameSize + 1;
    static constexpr std::size_t kChunkSize = 59;

    CBCSP_UART_Driver();

    virtual HResult Init();
    virtual void Reset();
    virtual bool WriteBytes(const std::uint8_t* bytes, std::size_t length);
    virtual bool DeliverBytes(const std::uint8_t* bytes, std::size_t length);
    virtual void SetUpper(CBCSP_Slip_Layer* upper);
    virtual void SetLower(CBCSP_HID_Layer* lower);
    virtual HResult StartWorker();
    virtual void StopWorker();
    virtual void DrainTransmit();
    virtual void DrainReceive();
    virtual ~CBCSP_UART_Driver();

    CBCSP_UART_Driver(const CBCSP_UART_Driver&) = delete;
    CBCSP_UART_Driver& operator=(const CBCSP_UART_Driver&) = delete;

private:
    void ClearTransmit();
    void ClearReceive();

    CBCSP_Worker m_worker;
    std::atomic<CBCSP_Slip_Layer*> m_upper{nullptr};
    std::atomic<CBCSP_HID_Layer*> m_lower{nullptr};

    std::uint8_t m_txRing[kTxRingSize];
    std::size_t m_txRead = 0;
    std::size_t m_txWrite = 0;
    std::uint8_t m_rxRing[kRingSize];
    std::size_t m_rxRead = 0;
    std::size_t m_rxWrite = 0;

    std::uint8_t m_chunk[kChunkSize];
    std::uint8_t m_chunkCount = 0;
    std::uint8_t m_chunkDelimiters = 0;

    std::uint8_t m_frame[kRingSize];
    std::size_t m_frameCount = 0;
    std::uint32_t m_frameDelimiters = 0;


    std::unique_ptr<CMutex> m_linkMutex;
    std::unique_ptr<CMutex> m_rxMutex;
    // Held while a drain sends chunks: SetLower waits on it, so that a
    // transport is never used after it was unlinked.
    CMutex m_txMutex;
};
