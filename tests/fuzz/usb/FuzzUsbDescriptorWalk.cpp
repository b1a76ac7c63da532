// The port's descriptor reads fed by a device that answers anything:
// input = connection record bytes, then replies for the configuration and
// string requests, each as [key hi][key lo][length][bytes...].
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/usb/ScriptedHub.h"
#include "usb/UsbTree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CScriptedHub hub;
    const std::size_t head = std::min(size, sizeof(hub.connection));
    std::memcpy(&hub.connection, data, head);
    hub.connection.connectionStatus = kUsbDeviceConnected;
    std::size_t pos = head;
    while (pos + 3 <= size)
    {
        const std::uint16_t key = static_cast<std::uint16_t>(data[pos] << 8 | data[pos + 1]);
        const std::size_t length = data[pos + 2];
        pos += 3;
        const std::size_t n = std::min(length, size - pos);
        CScriptedHub::SReply& reply = hub.replies[key];
        reply.bytes.assign(data + pos, data + pos + n);
        reply.extraReturned = (length & 0x80) != 0 ? -3 : 0;
        pos += n;
    }
    CUSBHubPortInfoPtr info = GetUSBHubPortInfo(hub, 1);
    const std::vector<std::uint8_t> config = QueryPortConfigDescriptor(hub, 1, 0);
    HasAnyStringIndex(hub.connection, config.empty() ? nullptr : config.data() + 12,
                      config.empty() ? 0 : config.size() - 12);
    GetAllStringDescriptors(hub, 1, hub.connection.deviceDescriptor, config.empty() ? nullptr : config.data() + 12,
                            config.empty() ? 0 : config.size() - 12);
    return 0;
}
