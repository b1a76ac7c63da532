#pragma once
// A simulated AV6201 or AV6302 wireless headset: the Avnera chip
// (AvneraChip.h) on its generic-HID face, booting from an SPI flash (AV6201:
// 128 KiB, 256-byte pages, 4 KiB sectors) or an I2C EEPROM (AV6302: 16 KiB,
// 64-byte pages).
//
// At power-up and after every chip reset the boot ROM looks at the part
// header in the first three bytes of its serial memory (they sum to 0xFF):
// with one it runs the application and enumerates as 2C6D:<productId> with
// the product's name; without one it stays in its flash loader and
// enumerates as 170D:0100. Flash-mode entry re-enumerates the same way (the
// chip's own 170D:0100/0101), and a reset (register 0xF003) makes the
// headset leave the bus and come back by its serial memory.
//
// The application answers the product-information query
//   [FD, 4, 0x12, 0, 20, 0x0C, ...]  with  [FE, 4, 0x12, 0, 20, 0x0C, ...]
// of 23 bytes whose bytes 15..18 hold the AV6201 image's version word and
// 19..22 the AV6302's (major << 24 | minor << 16 | year << 9 | month << 5 | day).
//
// The serial memory keeps its contents across re-enumeration and power
// cycles; flash programs AND-wise until erased. Strict variants come with
// the chip's configuration (late answers) and the unplug fault.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/avnera/AvneraChip.h"
#include "bench/usb/BenchUsbWorld.h"

enum class EAV62xxChip
{
    AV6201,
    AV6302,
};

struct SAV62xxProductConfig
{
    EAV62xxChip chip = EAV62xxChip::AV6201;
    std::uint16_t productId = 0x3226;
    std::wstring productName = L"Orvo AV62 Wireless Headset";
    std::uint32_t version = 1u << 24 | 2u << 16 | 15u << 9 | 11u << 5 | 24u; // 1.2.151124
    std::vector<std::uint8_t> memory;   // initial serial-memory contents (the rest blank)
    int unplugAtWrite = 0;              // > 0: pulled out as it takes its N-th serial-memory write, for good
    SAvneraChipConfig chipConfig;       // answer timing and the like; the serial part follows `chip`
};

class CAV62xxHidModel;

class CAV62xxProduct : public std::enable_shared_from_this<CAV62xxProduct>
{
public:
    static std::shared_ptr<CAV62xxProduct> Create(const SAV62xxProductConfig& config = {});
    explicit CAV62xxProduct(const SAV62xxProductConfig& config);

    static constexpr const wchar_t* kLoaderName = L"AV62 Flash Loader";

    BenchId Plug(CBenchUsbWorld& world, BenchId hub, std::uint8_t port);
    void Reconnect(); // after the unplug fault: the next Plug brings it back
    bool HeaderValid();
    SBenchDevice BootDevice();

    std::shared_ptr<CAvneraChip> Chip() { return m_chip; }
    std::vector<std::uint8_t> Memory();
    std::uint32_t MemorySize() const { return m_size; }
    std::uint32_t SerialWrites();

private:
    friend class CAV62xxHidModel;
    SBenchDevice DeviceFor(std::uint16_t vendorId, std::uint16_t productId, const std::wstring& name);
    std::vector<std::uint8_t> InfoAnswer(std::uint8_t destination);

    std::mutex m_mutex;
    SAV62xxProductConfig m_config;
    std::shared_ptr<CAvneraChip> m_chip;
    std::uint32_t m_size = 0;
    std::uint32_t m_writes = 0;
    bool m_gone = false;
};
