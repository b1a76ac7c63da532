#pragma once
// A simulated Tavik headset.
//
// In HID mode it is HID device 2C6D:3240 answering the vendor reports: the
// version query (02 32 33) with its firmware version, and the enter-DFU
// command (02 01 01), on which it drops off the bus and re-enumerates after
// a delay as the USB DFU device 0A12:0001 (a CSimDfuDevice on a DFU bus).
// After a manifested download and the reset that follows, it restarts in HID
// mode running the version stated by the new image.
//
// The DFU-mode device is visible only once its driver is installed (the
// driver tool ran), when the scenario asks for that. Time is CClock time. The
// headset runs no thread: whoever looks at it (its HID face, the DFU bus, a
// test) sees the mode the clock has reached by then, so a host that looks
// late sees what the headset did in time, never an earlier state. Its DFU
// device is on the DFU bus from the moment the re-enumeration ends, and after
// manifestation the HID device is back at the moment the restart ends.
//
// Thread safety: every public operation may be called from any thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/device/UsbDescription.h"
#include "bench/dfu/SimDfuBus.h"
#include "bench/tavik/BenchHidApi.h"
#include "platform/Sync.h"

struct STavikHeadsetConfig
{
    std::string version = "1.05.3";     // firmware the headset runs, as the version reply gives it
    bool startInDfuMode = false;
    bool driverInstalled = true;        // false: the DFU device stays invisible until the driver tool ran
    std::uint32_t reenumerateMs = 1500; // HID -> DFU and DFU -> HID
    std::wstring productName = L"Veritane Tamsel Mic";
    SSimDfuConfig dfu;                  // the DFU-mode device (identity 0A12:0001)
    // The user pulls the headset out and leaves it out (a replug brings
    // nothing back): as it takes the enter-DFU command, or half-way through
    // its re-enumeration into DFU mode.
    bool unplugOnEnterDfu = false;
    bool unplugWhileSwitching = false;
};

class CTavikHeadset : public IBenchHidFace
{
public:
    enum class EMode
    {
        Hid,
        SwitchingToDfu,
        Dfu,
        Restarting,
        Unplugged,
    };

    CTavikHeadset(const STavikHeadsetConfig& config, std::shared_ptr<CSimDfuBus> dfuBus);
    ~CTavikHeadset() override;

    // What the driver tool does on this machine.
    void InstallDriver();
    bool IsDriverInstalled();
    // The user unplugs the headset and plugs it back in: it restarts in HID mode.
    void Replug();

    EMode Mode();
    std::string Version();
    // The firmware the DFU device holds (the last manifested image).
    std::vector<std::uint8_t> Firmware();
    std::shared_ptr<CSimDfuDevice> DfuDevice();

    // IBenchHidFace
    bool IsPresent() override;
    SHidApiDeviceInfo Info() override;
    int OnOutputReport(const std::uint8_t* data, std::size_t length) override;
    int ReadInputReport(std::uint8_t* data, std::size_t length) override;
    int GetFeatureReport(std::uint8_t* data, std::size_t length) override;
    std::wstring ProductString() override;

    // The headset in HID mode as a USB device: identity, strings and its
    // one HID interface (vendor page 0xFF00; report 2 carries the commands
    // and replies, 16 bytes each way). Both faces read it: Info() here and
    // the USB/IP server (bench/usbip).
    SBenchDevice HidDescription() const;

    // The version a firmware image states ("1.05.4"), or "" when it states none.
    static std::string ImageVersion(const std::vector<std::uint8_t>& image);

private:
    void UpdateLocked();
    // The DFU device enumerates at atMs (when the driver lets the host see it).
    void PlugDfuLocked(std::uint64_t atMs);

    const STavikHeadsetConfig m_config;
    std::shared_ptr<CSimDfuBus> m_bus;
    CMutex m_lock;
    EMode m_mode;
    std::string m_version;
    bool m_driverInstalled;
    std::uint64_t m_switchAtMs = 0;
    std::shared_ptr<CSimDfuDevice> m_dfu;
    int m_manifestsSeen = 0;
    std::vector<std::uint8_t> m_firmware;
    std::vector<std::vector<std::uint8_t>> m_inputReports;
    std::uint32_t m_hidGeneration = 1;
    bool m_gone = false; // pulled out for good
};
