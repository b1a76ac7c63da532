#pragma once
// The simulated chip's own BCSP wire codec, written apart from the host
// stack so that each checks the other: SLIP framing, the 4-byte header with
// its checksum, and the 16-bit CRC (computed bit by bit here).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace bluecore
{
struct SWirePacket
{
    std::uint8_t seq = 0;
    std::uint8_t ack = 0;
    bool crcPresent = false;
    bool reliable = false;
    std::uint8_t channel = 0;
    std::vector<std::uint8_t> payload;
};

// CRC-CCITT, reflected polynomial, initial 0xFFFF, bit-reversed at the end:
// the value that goes on the wire most significant byte first.
std::uint16_t WireCrc(const std::uint8_t* bytes, std::size_t length);

// Header + payload (+ CRC) of a packet, not yet SLIP-encoded.
std::vector<std::uint8_t> BuildPacket(const SWirePacket& packet);
// A whole SLIP frame, both delimiters included.
std::vector<std::uint8_t> SlipEncode(const std::vector<std::uint8_t>& raw);
std::vector<std::uint8_t> EncodeFrame(const SWirePacket& packet);

enum class EParseError
{
    None,
    TooShort,
    Checksum,
    Length,
    Crc,
};

// Checks and splits a decoded frame.
std::optional<SWirePacket> ParsePacket(const std::uint8_t* bytes, std::size_t length, EParseError* error = nullptr);

// Byte-by-byte SLIP decoder; returns the decoded frames completed by the bytes.
class CSlipDecoder
{
public:
    std::vector<std::vector<std::uint8_t>> Feed(const std::uint8_t* bytes, std::size_t length);
    void Reset();

private:
    std::vector<std::uint8_t> m_frame;
    bool m_inFrame = false;
    bool m_escape = false;
};

// The four link-establishment messages (unreliable, channel 1).
extern const std::uint8_t kSync[4];
extern const std::uint8_t kSyncResp[4];
extern const std::uint8_t kConf[4];
extern const std::uint8_t kConfResp[4];
} // namespace bluecore
