#pragma once
// The record that travels between the BCSP layers, and the client's receive
// callback.
//
// Ownership: a layer that keeps a packet copies it; a packet handed upwards
// lives only for the duration of the call.

#include <cstddef>
#include <cstdint>

struct BCSP_Packet
{
    // Byte 0: sequence (bits 0-2), acknowledgement (bits 3-5), CRC present
    // (bit 6), reliable (bit 7). Byte 1: channel (bits 0-3), length bits 0-3
    // (bits 4-7). Byte 2: length bits 4-11. Byte 3: header checksum.
    std::uint8_t header[4];
    std::uint8_t* payload; // null when length is 0
    std::uint16_t length;
    std::uint16_t crc; // wire order when stored low byte first; 0 without CRC
};

// Payload, payload length, channel 0-15, client context. For reliable
// payloads the result accepts (and so acknowledges) the packet.
using BcspReceiveCallback = bool (*)(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel,
                                     void* context);

namespace bcsp
{
// Largest frame buffer anywhere in the stack; sends of this many payload
// bytes or more are refused.
constexpr std::size_t kFrameBufferSize = 2080;
// The transmit side holds the worst case of the largest payload a layer
// accepts (kFrameBufferSize - 1 bytes): header, payload and CRC, every byte
// escaped, and both delimiters. So every packet that was accepted can be
// framed, whatever its bytes.
constexpr std::size_t kMaxRawFrameSize = 4 + (kFrameBufferSize - 1) + 2;
constexpr std::size_t kMaxEncodedFrameSize = 2 + 2 * kMaxRawFrameSize;

constexpr std::uint8_t kSeqMask = 0x07;
constexpr std::uint8_t kAckShift = 3;
constexpr std::uint8_t kAckMask = 0x38;
constexpr std::uint8_t kCrcPresent = 0x40;
constexpr std::uint8_t kReliable = 0x80;

inline std::uint8_t Seq(const BCSP_Packet& p) { return p.header[0] & kSeqMask; }
inline std::uint8_t Ack(const BCSP_Packet& p) { return static_cast<std::uint8_t>((p.header[0] & kAckMask) >> kAckShift); }
inline std::uint8_t Channel(const BCSP_Packet& p) { return p.header[1] & 0x0F; }
inline bool IsReliable(const BCSP_Packet& p) { return (p.header[0] & kReliable) != 0; }

// One allocation holding the record followed by its payload (the payload
// pointer points just behind the record). Null when the heap refuses.
BCSP_Packet* CopyPacketSingle(const BCSP_Packet& packet);
void FreePacketSingle(BCSP_Packet* packet);
} // namespace bcsp
