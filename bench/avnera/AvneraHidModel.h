#pragma once
// The simulated Avnera chip as a HID device of the bench USB world, on its
// generic-HID face (any vendor, collection 0xFF00/0x0001, command report
// 0xFF) or its vendor-HID face (170D:FE00, command report 0xE1, control
// report 0xE0, identity reports 0xF2/0xF3). Both faces carry the memory
// report 0xE2 (serial memory: a zero-length write sets the read address);
// the generic face also carries 0xE4 (download area). Feature reports are
// 263 bytes with the report ID in byte 0; a command report read gives
// [ID, answer length, status, answer...]; after an assertion
// [ID, 4, status, the four assertion codes].
//
// The memory report reaches the serial memory only while the host has it
// passed through: on the generic face after the one-byte request [0x0A] on
// the command report, until the next command packet; on the vendor face
// while control code 2 holds a flash type (value 1 or more). Otherwise the
// device stalls the report. The vendor face's control code 0 drives the
// chip's reset line (value 0 holds the chip in reset, any other releases
// it); code 1 is taken and changes nothing. A command the chip cannot take
// (its one-deep buffer is full) stalls the report that carries it; a chip
// that was unplugged (fault) takes the device off the bus.
//
// On the generic face, flash-mode entry makes the device leave the bus and
// come back as 170D:0100 (mode 0) or 170D:0101 (mode 1) on the same port.

#include <memory>

#include "bench/avnera/AvneraChip.h"
#include "bench/usb/BenchUsbWorld.h"

class CAvneraHidModel : public IBenchHidModel
{
public:
    CAvneraHidModel(std::shared_ptr<CAvneraChip> chip, bool vendorFace);

    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override;
    void OnDetach() override;
    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override;
    EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) override;

private:
    bool Gone();

    std::shared_ptr<CAvneraChip> m_chip;
    const bool m_vendor;
    std::uint32_t m_readAddress = 0;
    bool m_passThrough = false;
    std::weak_ptr<IBenchHidSink> m_sink;
};

constexpr std::uint16_t kAvneraFeatureLength = 263;
// Re-enumeration of the generic face in flash mode: off the bus after this, back this much later.
constexpr std::uint32_t kAvneraFlashDropMs = 10;
constexpr std::uint32_t kAvneraFlashBackMs = 1000;

SBenchDevice MakeAvneraGenericDevice(const std::shared_ptr<CAvneraChip>& chip, std::uint16_t vendorId = 0x2C6D,
                                     std::uint16_t productId = 0x7300);
SBenchDevice MakeAvneraVendorDevice(const std::shared_ptr<CAvneraChip>& chip);
