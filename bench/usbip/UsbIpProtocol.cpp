#include "bench/usbip/UsbIpProtocol.h"

#include <algorithm>
#include <cstring>

namespace usbip
{
namespace
{
std::uint32_t Get32(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

void Put32(std::vector<std::uint8_t>& v, std::uint32_t x)
{
    v.push_back(static_cast<std::uint8_t>(x >> 24));
    v.push_back(static_cast<std::uint8_t>(x >> 16));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    v.push_back(static_cast<std::uint8_t>(x));
}

void PutBasic(std::vector<std::uint8_t>& v, std::uint32_t command, std::uint32_t seqnum, std::uint32_t devid,
              std::uint32_t direction, std::uint32_t endpoint)
{
    Put32(v, command);
    Put32(v, seqnum);
    Put32(v, devid);
    Put32(v, direction);
    Put32(v, endpoint);
}
} // namespace

bool CDecoder::Feed(const std::uint8_t* bytes, std::size_t length)
{
    if (Broken())
        return false;
    if (length == 0)
        return true;
    if (bytes == nullptr)
    {
        m_error = "no bytes";
        return false;
    }
    // Drop what was consumed before buffering more.
    if (m_read > 0)
    {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_read));
        m_read = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes, bytes + length);
    while (Parse())
    {
    }
    return !Broken();
}

// Takes one complete command off the buffer; false when none is complete
// or the stream broke.
bool CDecoder::Parse()
{
    if (Broken())
        return false;
    const std::size_t available = m_buffer.size() - m_read;
    if (available < kHeaderLength)
        return false;
    const std::uint8_t* h = m_buffer.data() + m_read;
    SCommand c;
    c.command = Get32(h);
    c.seqnum = Get32(h + 4);
    c.devid = Get32(h + 8);
    c.direction = Get32(h + 12);
    c.endpoint = Get32(h + 16);
    if (c.direction != kDirOut && c.direction != kDirIn)
    {
        m_error = "bad direction " + std::to_string(c.direction);
        return false;
    }
    if (c.endpoint > 15)
    {
        m_error = "bad endpoint " + std::to_string(c.endpoint);
        return false;
    }
    std::size_t total = kHeaderLength;
    if (c.command == kCmdSubmit)
    {
        c.transferFlags = Get32(h + 20);
        c.transferLength = Get32(h + 24);
        c.startFrame = Get32(h + 28);
        c.numberOfPackets = Get32(h + 32);
        c.interval = Get32(h + 36);
        std::memcpy(c.setup, h + 40, 8);
        if (c.transferLength > kMaxTransferLength)
        {
            m_error = "transfer of " + std::to_string(c.transferLength) + " bytes";
            return false;
        }
        std::size_t iso = 0;
        if (c.numberOfPackets != 0 && c.numberOfPackets != kNotIso)
        {
            if (c.numberOfPackets > kMaxIsoPackets)
            {
                m_error = "too many isochronous packets";
                return false;
            }
            iso = static_cast<std::size_t>(c.numberOfPackets) * kIsoDescriptorLength;
        }
        const std::size_t payload = c.direction == kDirOut ? c.transferLength : 0;
        total += payload + iso;
        if (available < total)
            return false;
        c.data.assign(h + kHeaderLength, h + kHeaderLength + payload);
    }
    else if (c.command == kCmdUnlink)
    {
        c.unlinkSeqnum = Get32(h + 20);
    }
    else
    {
        m_error = "unknown command " + std::to_string(c.command);
        return false;
    }
    m_read += total;
    m_ready.push_back(std::move(c));
    return true;
}

bool CDecoder::Next(SCommand& command)
{
    if (m_nextReady >= m_ready.size())
    {
        m_ready.clear();
        m_nextReady = 0;
        return false;
    }
    command = std::move(m_ready[m_nextReady++]);
    return true;
}

std::vector<std::uint8_t> EncodeRetSubmit(std::uint32_t seqnum, std::int32_t status,
                                          const std::vector<std::uint8_t>& inData, std::uint32_t actualLength)
{
    std::vector<std::uint8_t> v;
    v.reserve(kHeaderLength + inData.size());
    PutBasic(v, kRetSubmit, seqnum, 0, 0, 0);
    Put32(v, static_cast<std::uint32_t>(status));
    Put32(v, actualLength);
    Put32(v, 0); // start_frame
    Put32(v, 0); // number_of_packets: not isochronous
    Put32(v, 0); // error_count
    v.resize(kHeaderLength, 0);
    v.insert(v.end(), inData.begin(), inData.end());
    return v;
}

std::vector<std::uint8_t> EncodeRetUnlink(std::uint32_t seqnum, std::int32_t status)
{
    std::vector<std::uint8_t> v;
    PutBasic(v, kRetUnlink, seqnum, 0, 0, 0);
    Put32(v, static_cast<std::uint32_t>(status));
    v.resize(kHeaderLength, 0);
    return v;
}

std::vector<std::uint8_t> EncodeCmdSubmit(std::uint32_t seqnum, std::uint32_t endpoint, std::uint32_t direction,
                                          std::uint32_t transferLength, const std::uint8_t setup[8],
                                          const std::vector<std::uint8_t>& outData)
{
    std::vector<std::uint8_t> v;
    PutBasic(v, kCmdSubmit, seqnum, 0x00010002, direction, endpoint);
    Put32(v, direction == kDirIn ? 0x200 : 0); // URB_DIR_IN
    Put32(v, transferLength);
    Put32(v, 0);
    Put32(v, 0);
    Put32(v, 0);
    for (int i = 0; i < 8; ++i)
        v.push_back(setup != nullptr ? setup[i] : 0);
    v.insert(v.end(), outData.begin(), outData.end());
    return v;
}

std::vector<std::uint8_t> EncodeCmdUnlink(std::uint32_t seqnum, std::uint32_t unlinkSeqnum)
{
    std::vector<std::uint8_t> v;
    PutBasic(v, kCmdUnlink, seqnum, 0x00010002, 0, 0);
    Put32(v, unlinkSeqnum);
    v.resize(kHeaderLength, 0);
    return v;
}

std::size_t DecodeReply(const std::vector<std::uint8_t>& bytes, bool inTransfer, SReply& reply)
{
    if (bytes.size() < kHeaderLength)
        return 0;
    const std::uint8_t* h = bytes.data();
    reply = SReply();
    reply.command = Get32(h);
    reply.seqnum = Get32(h + 4);
    reply.status = static_cast<std::int32_t>(Get32(h + 20));
    if (reply.command != kRetSubmit)
        return kHeaderLength;
    reply.actualLength = Get32(h + 24);
    const std::size_t data = inTransfer ? reply.actualLength : 0;
    if (bytes.size() < kHeaderLength + data)
        return 0;
    reply.data.assign(h + kHeaderLength, h + kHeaderLength + data);
    return kHeaderLength + data;
}
} // namespace usbip
