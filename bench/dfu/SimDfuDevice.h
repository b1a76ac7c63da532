#pragma once
// A simulated USB DFU 1.1 device.
//
// The device model works at the level of a USB device: it answers standard
// GET_DESCRIPTOR requests (device and configuration descriptors, the latter
// carrying the DFU interface and its functional descriptor), DFU class
// requests on its interface, and bus resets. It has no notion of a host
// stack; whatever bus it is plugged into (CSimDfuBus here, or a fuller
// simulated USB world) delivers control transfers and resets to it and asks
// IsPresent / GetGeneration to learn when it went away or re-enumerated.
// An optional ISimDfuPortListener hears of disconnects and re-connects as
// they are decided, for buses that keep their own device lists.
//
// Time is CClock time: poll time-outs, detach and re-enumeration delays and
// the simulated transfer time all scale with the clock; the device runs no
// thread and moves on lazily when it is next asked.
//
// Thread safety: every public operation may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/device/UsbDescription.h"
#include "dfu/DfuProtocol.h"
#include "platform/Sync.h"

// How a device that is not manifestation tolerant ends its manifestation.
// USB DFU 1.1 has it wait in dfuMANIFEST-WAIT-RESET for the host's reset,
// but many chips simply restart once the new firmware is in place, and the
// host sees the last GETSTATUS fail in one way or another.
enum class ESimManifestEnd
{
    WaitReset, // dfuMANIFEST-WAIT-RESET until the host resets the device
    Stall,     // the GETSTATUS after manifestation stalls; the chip restarts on its own
    IoError,   // ... fails with a transfer error; the chip restarts
    Timeout,   // ... is never answered; the chip restarts
    DropOff,   // the chip drops off the bus as soon as manifestation starts, and restarts
};

struct SSimDfuConfig
{
    std::string location = "1-1";     // bus/port path, stable across re-enumeration
    std::uint16_t idVendor = 0x0A12;  // DFU-mode identity
    std::uint16_t idProduct = 0x0001;
    std::uint16_t bcdDevice = 0x0100;
    bool startInRuntime = false;      // start as an application with a DFU run-time interface
    std::uint16_t runtimeVendor = 0x0A12;
    std::uint16_t runtimeProduct = 0x0002;
    std::uint32_t reenumerateDelayMs = 300; // absent this long after a detach reset
    std::uint32_t lingerAfterResetMs = 0;   // still seen in run-time mode this long after it

    std::uint16_t wTransferSize = 1024;
    std::uint32_t pollTimeoutMs = 5;  // bwPollTimeout of each downloaded block
    std::uint32_t manifestPollMs = 20;
    std::uint16_t wDetachTimeOut = 1000;
    std::uint8_t bmAttributes = kDfuCanDownload | kDfuCanUpload;
    // Without bitManifestationTolerant: how manifestation ends.
    ESimManifestEnd manifestEnd = ESimManifestEnd::WaitReset;
    double transferMsPerKiB = 0.0;    // simulated bus time of downloaded data

    // Polling before bwPollTimeout has passed is a protocol error (the
    // device stalls and enters dfuERROR), as on devices that are really busy.
    bool strictPolling = true;
    // At manifestation the received payload must be a firmware this chip
    // takes (bench/dfu/SimFirmware.h: its header, and exactly the length the
    // header states). The DFU suffix is the host's and never arrives: a host
    // that sends it makes the length wrong.
    bool checkPayload = true;
    std::size_t capacity = 16u * 1024u * 1024u;

    // Failure injection, by index of the downloaded data block (-1: off).
    int errorAtBlock = -1;
    std::uint8_t errorStatus = errWRITE;
    int vanishAtBlock = -1;           // the device disappears for good on that block
    int stallAtBlock = -1;            // the device stalls that block's DNLOAD (once) and enters dfuERROR
    bool vanishInManifest = false;    // the device is pulled out for good as manifestation starts
    bool stuckBusy = false;           // stays in dfuDNBUSY after the first block

    // The firmware it installs runs as another device without a DFU
    // interface (a headset that restarts as its HID device): once the new
    // firmware is in place and the chip restarts, the device leaves this bus
    // for good instead of coming back in DFU mode.
    bool restartsAsOtherDevice = false;
};

enum class ESimUsbResult
{
    Ok,
    Stall,
    NoDevice,
    Timeout, // the device never answered
    Error,   // the transfer failed on the bus
};

struct SSimSetup
{
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

class CSimDfuDevice;

class ISimDfuPortListener
{
public:
    virtual ~ISimDfuPortListener() = default;
    virtual void OnDisconnect(CSimDfuDevice& device) = 0;
    // The device will be back after delayMs (CClock), with new descriptors.
    virtual void OnReconnectAfter(CSimDfuDevice& device, std::uint32_t delayMs) = 0;
};

class CSimDfuDevice
{
public:
    explicit CSimDfuDevice(const SSimDfuConfig& config);
    CSimDfuDevice(const CSimDfuDevice&) = delete;
    CSimDfuDevice& operator=(const CSimDfuDevice&) = delete;

    void SetPortListener(ISimDfuPortListener* listener);

    // --- USB device side ---------------------------------------------------
    bool IsPresent();
    // Changes whenever the device disconnects or re-enumerates; a host
    // handle opened at another generation is stale.
    std::uint32_t GetGeneration();
    const std::string& Location() const { return m_config.location; }
    // What the device is now (its run-time or DFU-mode identity and
    // interface), from which both descriptors below are built.
    SBenchDevice Description();
    std::vector<std::uint8_t> GetDeviceDescriptor();
    std::vector<std::uint8_t> GetConfigurationDescriptor();
    // A control transfer. Device-to-host requests fill data (up to
    // setup.wLength) and set *length; host-to-device ones read *length bytes.
    ESimUsbResult ControlTransfer(const SSimSetup& setup, std::uint8_t* data, std::size_t* length);
    void BusReset();
    // Unplug (for good) or plug back in (as the device it is now).
    void Unplug();
    void Plug();
    // Plugs back in (as the device it is now) at product time atMs
    // (CClock::NowMs): absent until then, present from then on, whenever
    // anyone looks.
    void PlugAt(std::uint64_t atMs);

    // --- observation for tests and the bench --------------------------------
    std::uint8_t State();
    std::uint8_t Status();
    bool InDfuMode();
    std::vector<std::uint8_t> ReceivedImage();  // bytes of the current download
    std::vector<std::uint8_t> Firmware();       // image that manifested successfully
    int ManifestCount();
    // When the last manifestation took effect (CClock::NowMs; 0 before any).
    std::uint64_t ManifestedAtMs();
    int BlocksReceived();
    int EarlyPolls();                            // GETSTATUS before bwPollTimeout passed
    int DetachCount();
    // The least time the download could take on this device: the sum of the
    // poll time-outs it asked for and of the simulated transfer times (ms).
    double MinimumDownloadMs();
    void ResetStatistics();

private:
    ESimUsbResult ClassRequest(const SSimSetup& setup, std::uint8_t* data, std::size_t* length);
    ESimUsbResult StandardRequest(const SSimSetup& setup, std::uint8_t* data, std::size_t* length);
    ESimUsbResult Stall(std::uint8_t status = errSTALLEDPKT);
    ESimUsbResult GetStatusLocked(std::uint8_t* data, std::size_t* length);
    void UpdatePresenceLocked();
    void DisconnectLocked(std::uint32_t reconnectDelayMs);
    void EnterDfuIdleLocked();
    // The image is in place; the chip restarts (into its application when it
    // has one, else back into DFU mode).
    void InstallAndRestartLocked();
    bool VerifyImageLocked();
    void SpendTransferTimeLocked(std::size_t bytes);
    SBenchDevice DescriptionLocked() const;

    const SSimDfuConfig m_config;
    CMutex m_lock;
    ISimDfuPortListener* m_listener = nullptr;

    bool m_dfuMode;
    std::uint8_t m_state;
    std::uint8_t m_status = DFU_OK;
    bool m_present = true;
    bool m_gone = false;
    std::uint64_t m_backAtMs = 0;      // while absent: when it re-enumerates
    std::uint64_t m_leaveAtMs = 0;     // a detach reset lingers: when it goes (0: none pending)
    bool m_comeBackInDfu = false;
    std::uint32_t m_generation = 1;
    std::uint64_t m_detachUntilMs = 0; // appDETACH: reset must come before this
    std::uint64_t m_busyUntilMs = 0;
    bool m_manifestDone = false;
    std::uint16_t m_expectedBlock = 0;
    int m_blockIndex = 0;
    bool m_failPending = false;
    bool m_stalledOnce = false;

    std::vector<std::uint8_t> m_received;
    std::vector<std::uint8_t> m_firmware;
    int m_manifestCount = 0;
    std::uint64_t m_manifestedAtMs = 0;
    int m_blocksReceived = 0;
    int m_earlyPolls = 0;
    int m_detachCount = 0;
    double m_minimumMs = 0.0;
    double m_owedTransferMs = 0.0;
};
