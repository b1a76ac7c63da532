#pragma once
// Packet integrity: completes the 4-byte BCSP header going down (length,
// CRC-present flag, header checksum, optional CRC) and checks header
// checksum, length and CRC of every received frame before it reaches the
// multiplexer. Invalid frames are logged and dropped.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bcsp/BCSP_Packet.h"
#include "platform/Types.h"

class CBCSP_Mux_Layer;
class CBCSP_Slip_Layer;

namespace bcsp
{
// The 16-entry table of the reflected CCITT polynomial (0x8408), one entry
// per 4-bit value.
extern const std::uint16_t kCrcTable[16];
// Runs the register (start at 0xFFFF) over bytes, four bits at a time.
std::uint16_t CrcUpdate(std::uint16_t crc, const std::uint8_t* bytes, std::size_t length);
// Bit 0 <-> bit 15, bit 1 <-> bit 14, ...
std::uint16_t BitReverse16(std::uint16_t value);
// The packet's crc word for header and payload bytes: the reversed register
// with its bytes swapped, so that storing it low byte first gives the wire
// order (most significant byte of the reversed value first).
std::uint16_t CrcWord(const std::uint8_t* bytes, std::size_t length);
// NOT(byte 0 + byte 1 + byte 2).
std::uint8_t HeaderChecksum(const std::uint8_t* header);
} // namespace bcsp

class CBCSP_Packet_Integrity_Layer
{
public:
    CBCSP_Packet_Integrity_Layer();

    virtual HResult Init();
    virtual void Reset();
    virtual void EnableCRC(bool enable);
    virtual bool SendPacket(BCSP_Packet& packet);
    virtual bool ReceiveFrame(const std::uint8_t* bytes, std::size_t length);
    virtual void SetUpper(CBCSP_Mux_Layer* upper);
    virtual void SetLower(CBCSP_Slip_Layer* lower);
    virtual ~CBCSP_Packet_Integrity_Layer();

    CBCSP_Packet_Integrity_Layer(const CBCSP_Packet_Integrity_Layer&) = delete;
    CBCSP_Packet_Integrity_Layer& operator=(const CBCSP_Packet_Integrity_Layer&) = delete;

private:
    std::atomic<CBCSP_Slip_Layer*> m_lower{nullptr};
    std::atomic<CBCSP_Mux_Layer*> m_upper{nullptr};
    std::atomic<bool> m_crcEnabled{false};
};
