#include "bcsp/BCSP_DFUReplies.h"

#include <cstring>

namespace
{
void Put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t Get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Overlays the first bytes of the reply on the record's wire image.
void Overlay(std::uint8_t* image, std::size_t imageSize, const std::uint8_t* reply, std::size_t length)
{
    if (reply == nullptr)
        return;
    std::memcpy(image, reply, length < imageSize ? length : imageSize);
}
} // namespace

namespace bcsp
{
void ApplyDeviceDescriptorReply(const std::uint8_t* reply, std::size_t length, SDFUDeviceDescriptor& record)
{
    std::uint8_t image[kDeviceDescriptorReplySize];
    const std::uint16_t fields[8] = {record.wStatus,         record.wLength,  record.bDeviceClass,
                                     record.bDeviceSubClass, record.bDeviceProtocol, record.idVendor,
                                     record.idProduct,       record.bcdDevice};
    for (int i = 0; i < 8; ++i)
        Put16(image + 2 * i, fields[i]);
    Overlay(image, sizeof(image), reply, length);
    record.wStatus = Get16(image + 0);
    record.wLength = Get16(image + 2);
    record.bDeviceClass = Get16(image + 4);
    record.bDeviceSubClass = Get16(image + 6);
    record.bDeviceProtocol = Get16(image + 8);
    record.idVendor = Get16(image + 10);
    record.idProduct = Get16(image + 12);
    record.bcdDevice = Get16(image + 14);
}

void ApplyFunctionalDescriptorReply(const std::uint8_t* reply, std::size_t length, SDFUFunctionalDescriptor& record)
{
    std::uint8_t image[kFunctionalDescriptorReplySize];
    Put16(image + 0, record.wStatus);
    Put16(image + 2, record.wLength);
    image[4] = record.bDescriptorType;
    image[5] = record.bmAttributes;
    Put16(image + 6, record.wDetachTimeout);
    Put16(image + 8, record.wTransferSize);
    Overlay(image, sizeof(image), reply, length);
    record.wStatus = Get16(image + 0);
    record.wLength = Get16(image + 2);
    record.bDescriptorType = image[4];
    record.bmAttributes = image[5];
    record.wDetachTimeout = Get16(image + 6);
    record.wTransferSize = Get16(image + 8);
}

void ApplyStatusReply(const std::uint8_t* reply, std::size_t length, SDFUStatus& record)
{
    std::uint8_t image[kStatusReplySize];
    Put16(image + 0, record.wStatus);
    Put16(image + 2, record.wLength);
    image[4] = record.bStatus;
    image[5] = static_cast<std::uint8_t>(record.bwPollTimeout & 0xFF);
    image[6] = static_cast<std::uint8_t>((record.bwPollTimeout >> 8) & 0xFF);
    image[7] = static_cast<std::uint8_t>((record.bwPollTimeout >> 16) & 0xFF);
    image[8] = record.bState;
    image[9] = record.iString;
    Overlay(image, sizeof(image), reply, length);
    record.wStatus = Get16(image + 0);
    record.wLength = Get16(image + 2);
    record.bStatus = image[4];
    record.bwPollTimeout = static_cast<std::uint32_t>(image[5] | (image[6] << 8) | (image[7] << 16));
    record.bState = image[8];
    record.iString = image[9];
}
} // namespace bcsp
