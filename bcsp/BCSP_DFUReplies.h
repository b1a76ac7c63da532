#pragma once
// The records of the DFU replies carried over BCSP, and the parsing of a
// reply into them. Replies are untrusted: only the bytes that came are
// applied (at most the record's size), the rest of the record keeps its
// previous contents.

#include <cstddef>
#include <cstdint>

// Reply to GetDeviceDescriptor: 16 bytes, little-endian words.
struct SDFUDeviceDescriptor
{
    std::uint16_t wStatus;
    std::uint16_t wLength;
    std::uint16_t bDeviceClass;
    std::uint16_t bDeviceSubClass;
    std::uint16_t bDeviceProtocol;
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
};

// Reply to GetFunctionalDescriptor: 10 bytes.
struct SDFUFunctionalDescriptor
{
    std::uint16_t wStatus;
    std::uint16_t wLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bmAttributes;
    std::uint16_t wDetachTimeout;
    std::uint16_t wTransferSize;
};

// Reply to GetDFUStatus: 10 bytes (bwPollTimeout is 24 bits on the wire).
struct SDFUStatus
{
    std::uint16_t wStatus;
    std::uint16_t wLength;
    std::uint8_t bStatus;
    std::uint32_t bwPollTimeout;
    std::uint8_t bState;
    std::uint8_t iString;
};

namespace bcsp
{
constexpr std::size_t kDeviceDescriptorReplySize = 16;
constexpr std::size_t kFunctionalDescriptorReplySize = 10;
constexpr std::size_t kStatusReplySize = 10;

void ApplyDeviceDescriptorReply(const std::uint8_t* reply, std::size_t length, SDFUDeviceDescriptor& record);
void ApplyFunctionalDescriptorReply(const std::uint8_t* reply, std::size_t length, SDFUFunctionalDescriptor& record);
void ApplyStatusReply(const std::uint8_t* reply, std::size_t length, SDFUStatus& record);
} // namespace bcsp
