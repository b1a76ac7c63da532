#pragma once
// The simulated chip as the transport of a BCSP stack: a CBCSP_HID_Layer
// that builds the bridge's data-out and baud-rate reports, hands them to the
// chip, and runs its own reader thread that passes the chip's data-in
// reports (byte 2 = 0x28) to ReceiveReport.
//
// Threads: SendChunk in the stack's multiplexer thread, SetBaudRate in the
// client's, the reader in its own; the upper pointer is guarded by the
// transport's mutex, taken before the byte layer's link mutex.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_HID_Layer.h"
#include "bench/bluecore/BlueCoreChip.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace bluecore
{
class CBlueCoreTransport : public CBCSP_HID_Layer
{
public:
    explicit CBlueCoreTransport(CBlueCoreChip& chip);
    ~CBlueCoreTransport();
    CBlueCoreTransport(const CBlueCoreTransport&) = delete;
    CBlueCoreTransport& operator=(const CBlueCoreTransport&) = delete;

    void SetUpper(CBCSP_UART_Driver* upper) override;
    bool SendChunk(const std::uint8_t* bytes, std::size_t count) override;
    bool ReceiveReport(const std::uint8_t* report, std::size_t reportLength) override;
    bool SetBaudRate(std::uint32_t rate) override;

    // Starts and stops the reader (the constructor starts it; the destructor
    // stops it).
    bool StartReader();
    void StopReader();

    std::uint32_t ChunksSent() const { return m_chunks.load(); }

private:
    CBlueCoreChip& m_chip;
    CMutex m_mutex;
    CBCSP_UART_Driver* m_upper = nullptr;
    CThread m_reader;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint32_t> m_chunks{0};
};
} // namespace bluecore
