#pragma once
// The Nembo family's HID helper: the BCSP transport over a USB HID bridge to
// the BlueCore chip.
//
// Reports (report identifier byte first):
//   data out (output, 65 bytes):   00 20 00 11 n  data[n] zeros
//   baud rate (feature, 65 bytes): 00 3E 0E code 00 zeros   (38400 -> 0, 57600 -> 1, 115200 -> 2)
//   data in (input, 32 bytes):     id -- 28 n data[n]
//
// Contract:
// - Open/Attach run in the client's thread; they start the helper's reader
//   thread, which reads input reports and hands those with byte 2 = 0x28 to
//   ReceiveReport (and so, synchronously, to the whole BCSP receive path).
// - SendChunk runs in the stack's multiplexer thread, SetBaudRate in the
//   client's; each writes one report (output reports wait up to 1,000 ms).
// - The upper pointer is guarded by the helper's mutex; the reader holds it
//   while it hands bytes up, so the byte layer cannot be unlinked meanwhile.
// - Disconnect: when the device leaves, writes fail and the reader ends
//   (after writing one log line); Close or a new Open is then needed.
// - No device: Open answers 0x80004005 and no thread runs.
// - Shutdown: Close may run while the stack's multiplexer is writing; it
//   cancels the write and waits for it before the device goes. Unlink the
//   stack (DisconnectTransport, which waits for a chunk in progress) before
//   destroying the helper; the destructor unlinks it too.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bcsp/BCSP_HID_Layer.h"
#include "platform/HidSystem.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Types.h"

class CNemboHIDHelper : public CBCSP_HID_Layer
{
public:
    static constexpr std::size_t kOutputReportLength = 65;
    static constexpr std::size_t kFeatureReportLength = 65;
    static constexpr std::size_t kInputReportLength = 32;
    static constexpr std::uint8_t kDataInMarker = 0x28;
    static constexpr std::uint32_t kWriteTimeoutMs = 1000;
    static constexpr std::uint32_t kReadSliceMs = 100;

    explicit CNemboHIDHelper(IHidSystem& system);
    ~CNemboHIDHelper();
    CNemboHIDHelper(const CNemboHIDHelper&) = delete;
    CNemboHIDHelper& operator=(const CNemboHIDHelper&) = delete;

    void SetUpper(CBCSP_UART_Driver* upper) override;
    bool SendChunk(const std::uint8_t* bytes, std::size_t count) override;
    bool ReceiveReport(const std::uint8_t* report, std::size_t reportLength) override;
    bool SetBaudRate(std::uint32_t rate) override;

    // Opens the HID interface (overlapped, read and write) and starts the reader.
    HResult Open(const std::wstring& path);
    // Takes an opened device (it must be overlapped) and starts the reader.
    HResult Attach(CHidDevicePtr device);
    // Stops the reader and closes the device.
    void Close();
    bool IsOpen();

    // The report writers: 1 when the report was written, 0 otherwise.
    int WriteOutputReport(const std::uint8_t* report, std::size_t length);
    int WriteFeatureReport(const std::uint8_t* report, std::size_t length);

private:
    std::uint32_t ReaderLoop();

    IHidSystem& m_system;
    CHidDevicePtr m_device;
    std::size_t m_inputLength = kInputReportLength;
    CMutex m_mutex;
    CBCSP_UART_Driver* m_upper = nullptr;
    // Guards the device against Close while a writer uses it.
    CMutex m_deviceMutex;
    CThread m_reader;
    std::atomic<bool> m_stop{false};
};
