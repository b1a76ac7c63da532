#pragma once
// The USB DFU 1.1 host protocol over an IDfuTransport: bringing a device to
// dfuIDLE, downloading an image block by block and manifesting it.
//
// Every wait goes through CClock and has a bound: a device that stays busy
// (more than kMaxBusyMs of poll time-outs or kMaxPolls polls), a poll time-out
// beyond reason (capped at kMaxPollMs) or a device that never comes back
// ends the step with a failure instead of hanging. Not thread-safe; the engine drives
// one CDfuHost from one activity thread at a time.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dfu/DfuProtocol.h"
#include "platform/DfuTransport.h"
#include "platform/Types.h"

// Failure codes of the DFU host (HRESULT-style, Win32 facility).
constexpr HResult HR_DFU_NO_DEVICE = static_cast<HResult>(0x8007048Fu);   // device not connected
constexpr HResult HR_DFU_BAD_FILE = static_cast<HResult>(0x8007000Du);    // not a DFU file
constexpr HResult HR_DFU_CRC = static_cast<HResult>(0x80070017u);         // DFU file CRC mismatch
constexpr HResult HR_DFU_DEVICE_ERROR = static_cast<HResult>(0x8007001Fu); // device reported an error status
constexpr HResult HR_DFU_TIMEOUT = static_cast<HResult>(0x800705B4u);
constexpr HResult HR_DFU_PROTOCOL = static_cast<HResult>(0x8007054Fu);    // unexpected state or reply
constexpr HResult HR_DFU_ACCESS = static_cast<HResult>(0x80070005u);
constexpr HResult HR_DFU_ABORTED = static_cast<HResult>(0x800704C7u);
constexpr HResult HR_DFU_WRONG_DEVICE = static_cast<HResult>(0x80070032u); // file made for another device

HResult DfuIoToHResult(EDfuIo io);

class CDfuHost
{
public:
    // Product milliseconds: control request time-out, bound of one poll
    // wait, bound of the busy time of one block, time allowed for a device
    // to come back after a reset.
    static constexpr std::uint32_t kRequestTimeoutMs = 5000;
    static constexpr std::uint32_t kMaxPollMs = 30000;
    static constexpr std::uint32_t kMaxBusyMs = 60000;
    static constexpr std::uint32_t kReenumerateMs = 10000;
    // Most GETSTATUS polls while one block (or the manifestation) is busy, and
    // most recovery steps on the way to dfuIDLE.
    static constexpr int kMaxPolls = 1000;
    static constexpr int kMaxIdleSteps = 64;

    using ProgressSink = std::function<void(std::size_t done, std::size_t total)>;

    explicit CDfuHost(IDfuTransport& transport);

    // Set by the owner to stop a running step early (checked between requests).
    void SetAbortFlag(const std::atomic<bool>* abort) { m_abort = abort; }

    // Opens the device and reads its identity and functional descriptor.
    HResult Open(const std::wstring& name);
    bool IsOpen() const { return m_open; }
    void Close();

    const SDfuDeviceIdentity& Identity() const { return m_identity; }
    const SDfuFunctionalDescriptor& Descriptor() const { return m_descriptor; }

    // Brings the device to dfuIDLE: run-time devices get DFU_DETACH and a USB
    // reset, error states CLRSTATUS, busy or pending states ABORT.
    HResult BringToIdle(bool resetFirst);

    // Downloads image in blocks of wTransferSize; the device must be in dfuIDLE.
    HResult Download(const std::vector<std::uint8_t>& image, const ProgressSink& progress);

    // Zero-length DNLOAD, GETSTATUS through the manifestation states, reset.
    // A device without bitManifestationTolerant may stop answering after the
    // zero-length block (stall, transfer error, time-out, gone from the bus):
    // that ends the manifestation, and the host waits (bounded) for it to
    // come back; a device that returns in DFU mode with an error status has
    // refused the image.
    HResult Manifest();

    // What the device said last (for the progress record).
    std::uint8_t LastState() const { return m_lastStatus.bState; }
    std::uint8_t LastStatus() const { return m_lastStatus.bStatus; }
    EDfuIo LastIo() const { return m_lastIo; }

private:
    HResult GetStatus(SDfuStatus* status);
    HResult SimpleRequest(std::uint8_t request, std::uint16_t value);
    HResult ReadDeviceInfo();
    HResult ResetAndReopen(bool mustReturn);
    HResult WaitForDfuMode();
    HResult WaitForRestart();
    HResult WaitPoll(std::uint32_t pollMs);
    bool Aborted() const { return m_abort != nullptr && m_abort->load(); }
    HResult Io(EDfuIo io);

    IDfuTransport& m_transport;
    const std::atomic<bool>* m_abort = nullptr;
    bool m_open = false;
    SDfuDeviceIdentity m_identity;
    SDfuFunctionalDescriptor m_descriptor;
    SDfuStatus m_lastStatus;
    EDfuIo m_lastIo = EDfuIo::Ok;
    std::uint16_t m_nextBlock = 0;
};
