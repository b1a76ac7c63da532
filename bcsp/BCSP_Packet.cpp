#include "bcsp/BCSP_Packet.h"

#include <cstdlib>
#include <cstring>

namespace bcsp
{
BCSP_Packet* CopyPacketSingle(const BCSP_Packet& packet)
{
    const std::size_t length = packet.payload != nullptr ? packet.length : 0;
    void* block = std::calloc(1, sizeof(BCSP_Packet) + length);
    if (block == nullptr)
        return nullptr;
    auto* copy = static_cast<BCSP_Packet*>(block);
    std::memcpy(copy->header, packet.header, sizeof(copy->header));
    copy->length = static_cast<std::uint16_t>(length);
    copy->crc = packet.crc;
    if (length > 0)
    {
        copy->payload = reinterpret_cast<std::uint8_t*>(copy + 1);
        std::memcpy(copy->payload, packet.payload, length);
    }
    return copy;
}

void FreePacketSingle(BCSP_Packet* packet)
{
    std::free(packet);
}
} // namespace bcsp
