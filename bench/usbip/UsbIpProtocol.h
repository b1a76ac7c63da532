#pragma once
// The USB/IP wire protocol as the device side of a connection speaks it
// (Linux Documentation/usb/usbip_protocol.rst): the host controller
// (vhci-hcd) sends USBIP_CMD_SUBMIT and USBIP_CMD_UNLINK, the device answers
// USBIP_RET_SUBMIT and USBIP_RET_UNLINK. Headers are 48 bytes, big-endian;
// OUT data follows a CMD_SUBMIT, IN data a RET_SUBMIT.
//
// The bytes come from the kernel, but a server takes them as untrusted: the
// decoder checks every command and length, bounds what it buffers and
// reports a broken stream instead of guessing (the connection then ends,
// which the host sees as an unplug).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbip
{
constexpr std::uint32_t kCmdSubmit = 1;
constexpr std::uint32_t kCmdUnlink = 2;
constexpr std::uint32_t kRetSubmit = 3;
constexpr std::uint32_t kRetUnlink = 4;
constexpr std::size_t kHeaderLength = 48;
constexpr std::uint32_t kDirOut = 0;
constexpr std::uint32_t kDirIn = 1;
// The largest transfer a device here takes or gives in one URB.
constexpr std::uint32_t kMaxTransferLength = 1u << 20;
constexpr std::uint32_t kMaxIsoPackets = 1024;
constexpr std::size_t kIsoDescriptorLength = 16;
constexpr std::uint32_t kNotIso = 0xFFFFFFFFu;

// Linux errno values as the protocol carries them (negated in a status).
constexpr std::int32_t kEPIPE = 32;      // the endpoint stalled
constexpr std::int32_t kEPROTO = 71;     // a protocol (bus) error
constexpr std::int32_t kECONNRESET = 104; // the URB was unlinked
constexpr std::int32_t kEOVERFLOW = 75;

struct SCommand
{
    std::uint32_t command = 0;
    std::uint32_t seqnum = 0;
    std::uint32_t devid = 0;
    std::uint32_t direction = 0;
    std::uint32_t endpoint = 0;
    // CMD_SUBMIT
    std::uint32_t transferFlags = 0;
    std::uint32_t transferLength = 0; // OUT: the data below; IN: room the host gives
    std::uint32_t startFrame = 0;
    std::uint32_t numberOfPackets = 0;
    std::uint32_t interval = 0;
    std::uint8_t setup[8] = {};
    std::vector<std::uint8_t> data;
    // CMD_UNLINK
    std::uint32_t unlinkSeqnum = 0;
};

// Splits the byte stream from the host into commands.
class CDecoder
{
public:
    // Takes received bytes; false once the stream is broken (then Error()
    // says why and every later call fails too).
    bool Feed(const std::uint8_t* bytes, std::size_t length);
    // The next complete command, in order; false when none is complete yet.
    bool Next(SCommand& command);
    bool Broken() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }
    std::size_t Buffered() const { return m_buffer.size() - m_read; }

private:
    bool Parse();

    std::vector<std::uint8_t> m_buffer;
    std::size_t m_read = 0;
    std::vector<SCommand> m_ready;
    std::size_t m_nextReady = 0;
    std::string m_error;
};

// Answers (the device side).
std::vector<std::uint8_t> EncodeRetSubmit(std::uint32_t seqnum, std::int32_t status,
                                          const std::vector<std::uint8_t>& inData, std::uint32_t actualLength);
std::vector<std::uint8_t> EncodeRetUnlink(std::uint32_t seqnum, std::int32_t status);

// Commands (the host side, for tests that play vhci-hcd).
std::vector<std::uint8_t> EncodeCmdSubmit(std::uint32_t seqnum, std::uint32_t endpoint, std::uint32_t direction,
                                          std::uint32_t transferLength, const std::uint8_t setup[8],
                                          const std::vector<std::uint8_t>& outData);
std::vector<std::uint8_t> EncodeCmdUnlink(std::uint32_t seqnum, std::uint32_t unlinkSeqnum);

struct SReply
{
    std::uint32_t command = 0;
    std::uint32_t seqnum = 0;
    std::int32_t status = 0;
    std::uint32_t actualLength = 0;
    std::vector<std::uint8_t> data;
};
// Decodes one reply from the front of bytes (the host side); 0 when it is
// not complete yet, else the bytes it took. inTransfer: the URB was IN (its
// data follows the header).
std::size_t DecodeReply(const std::vector<std::uint8_t>& bytes, bool inTransfer, SReply& reply);
} // namespace usbip
