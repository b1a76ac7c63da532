// The USB/IP server's parser of what the host sends: the byte stream, cut
// into reads at places the input chooses, split into commands, and every
// control transfer among them answered by a described device (standard and
// HID class requests, reports to a model).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bench/usbip/UsbIpProtocol.h"
#include "bench/usbip/WireDevice.h"

namespace
{
class CModel : public IBenchHidModel
{
public:
    EHidResult OnSetFeature(const std::uint8_t*, std::size_t) override { return EHidResult::Ok; }
    EHidResult OnGetFeature(std::uint8_t*, std::size_t) override { return EHidResult::Ok; }
    EHidResult OnOutputReport(const std::uint8_t*, std::size_t) override { return EHidResult::Ok; }
};

SBenchDevice Description()
{
    SBenchDevice d = MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001, 17, 17, 9);
    d.hidInterfaces[0].model = std::make_shared<CModel>();
    d.hidInterfaces[0].interruptOut = true;
    d.serialNumber = L"FUZZ";
    d.dfu.present = true;
    return d;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    data += 1;
    size -= 1;
    usbip::CDecoder decoder;
    CModelWireDevice device(Description());
    device.Attach();
    std::size_t pos = 0;
    while (pos < size)
    {
        const std::size_t n = size - pos < chunk ? size - pos : chunk;
        if (!decoder.Feed(data + pos, n))
            break;
        pos += n;
        usbip::SCommand c;
        while (decoder.Next(c))
        {
            if (c.command != usbip::kCmdSubmit)
                continue;
            std::vector<std::uint8_t> in;
            if (c.endpoint == 0)
                device.Control(ParseWireSetup(c.setup), c.data, in);
            else if (c.direction == usbip::kDirIn)
                device.DataIn(static_cast<std::uint8_t>(0x80 | c.endpoint), c.transferLength, in);
            else
                device.DataOut(static_cast<std::uint8_t>(c.endpoint), c.data);
        }
    }
    return 0;
}
