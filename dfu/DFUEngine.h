#pragma once
// The DFU engine: downloads DFU files into USB DFU 1.1 devices.
//
// Use: DFUEngine::InitDLL(factory) once (the product passes the libusb
// transport factory, the bench a simulated bus), GetUSBDeviceNames, then on
// an engine object CreateUSB(name), SetCallback, and the activities
// StartReconfigure -> StartDownload -> StartManifest. Each Start* returns at
// once (false when the engine is busy, has no device attached - CreateUSB
// failed, or a finished manifest restarted the device - or could not start a
// thread); the activity runs on a thread of the engine and reports
// Started, any number of Progress and exactly one Complete to the callback,
// all on that thread. Complete's record carries the result (0 success).
//
// Every wait inside an activity is bounded, so every started activity
// completes. The destructor stops a running activity and waits for it; it
// must not be called from inside a callback.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/DfuTransport.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Types.h"

class CDfuHost;

// A wide string with the small interface callers of the engine use.
class CStringX
{
public:
    CStringX();
    CStringX(const wchar_t* text);
    CStringX(const CStringX& other);
    ~CStringX();
    CStringX& operator=(const CStringX& other);
    CStringX& operator=(const wchar_t* text);

    // Characters before the terminating zero.
    int GetLength() const;
    // A writable buffer of at least minLength characters plus a terminating
    // zero, holding the current text; call ReleaseBuffer after writing.
    wchar_t* GetBuffer(int minLength);
    void ReleaseBuffer();
    const wchar_t* c_str() const { return m_buffer.data(); }

private:
    std::vector<wchar_t> m_buffer; // always zero-terminated
    int m_length = 0;
};

class CStringListX
{
public:
    // 0: no position; otherwise index + 1.
    using POSITION = std::size_t;

    CStringListX();
    ~CStringListX();
    CStringListX(const CStringListX&) = delete;
    CStringListX& operator=(const CStringListX&) = delete;

    POSITION GetHeadPosition() const;
    // The entry at position, which moves on (to 0 after the last one). An
    // invalid position gives an empty string and becomes 0.
    CStringX& GetNext(POSITION& position);
    void AddTail(const CStringX& text);
    int GetCount() const;
    void RemoveAll();

private:
    std::vector<CStringX> m_items;
    CStringX m_empty;
};

class DFUEngine
{
public:
    // Activity codes (byte 0 of the progress record).
    enum ActivityCode : std::int32_t
    {
        kActivityReconfigure = 2,
        kActivityDownload = 4,
        kActivityManifest = 5,
    };

    // Operations of an activity (the sub-operation repeats the operation).
    // Reconfigure reports 1 (file checked), 3 (bringing the device to
    // dfuIDLE), 8 (in dfuIDLE). Download reports 9 with bytes done and total
    // (first 0, then after every block; the last has done == total), or on
    // failure one 15 with the bytes done so far. Manifest reports 10
    // (manifestation: the device checks and installs the image) and 11 (done).
    enum Operation : std::int32_t
    {
        kOpNone = 0,
        kOpReadFile = 1,
        kOpDetach = 3,
        kOpIdle = 8,
        kOpTransfer = 9,
        kOpVerify = 10,
        kOpManifestDone = 11,
        kOpFailed = 15,
    };

    class Activity
    {
    public:
        int GetOperation() const { return m_operation; }
        int GetSubOperation() const { return m_subOperation; }
        int GetBytesDone() const { return m_bytesDone; }
        int GetBytesTotal() const { return m_bytesTotal; }

    private:
        friend class DFUEngine;
        std::int32_t m_operation = 0;
        std::int32_t m_subOperation = 0;
        std::int32_t m_bytesDone = 0;
        std::int32_t m_bytesTotal = 0;
    };

    // The record handed to every callback. Fixed layout: activity code at
    // byte 0, percentage at byte 20, the activity at byte 24.
    struct ProgressRecord
    {
        std::int32_t activityCode = 0;
        HResult result = 0;        // Complete: 0 success, else the failure
        std::int32_t dfuState = 0;  // last DFU state the device reported
        std::int32_t dfuStatus = 0; // last DFU status the device reported
        std::int32_t transportError = 0; // EDfuIo of the last request
        std::int32_t percent = 0;
        Activity activity;
    };

    class Callback
    {
    public:
        virtual ~Callback() = default;
        virtual void Started(DFUEngine* engine, const ProgressRecord& record) {}
        virtual void Progress(DFUEngine* engine, const ProgressRecord& record) {}
        virtual void Complete(DFUEngine* engine, const ProgressRecord& record) {}
    };

    // Sets the transport factory of the process (null keeps the current
    // one). Without one the engine sees no devices.
    static void InitDLL(std::shared_ptr<IDfuTransportFactory> factory = nullptr);
    // Fills names with the devices present in DFU mode; returns their number.
    // Devices that only carry a DFU run-time interface (many applications
    // do) are left out unless includeRunTime is set: taking one of them for
    // "the DFU device" would aim a firmware at the wrong product.
    static int GetUSBDeviceNames(CStringListX& names, bool includeRunTime = false);

    DFUEngine();
    // An engine with its own transport factory instead of the process one.
    explicit DFUEngine(std::shared_ptr<IDfuTransportFactory> factory);
    ~DFUEngine();
    DFUEngine(const DFUEngine&) = delete;
    DFUEngine& operator=(const DFUEngine&) = delete;

    // Attaches the engine to the named device (closing a previous one);
    // false while an activity runs or when the device cannot be opened.
    bool CreateUSB(const wchar_t* deviceName);
    void SetCallback(Callback* callback);

    // resetFirst: USB reset before anything else. toDfuMode: leave the
    // device in dfuIDLE (run-time devices are detached into DFU mode); false
    // only checks the file and the device's state.
    bool StartReconfigure(bool resetFirst, bool toDfuMode, const wchar_t* fileName);
    bool StartDownload(const wchar_t* fileName);
    bool StartManifest();

    bool IsBusy() const { return m_busy.load(); }

    // Largest DFU file the engine reads.
    static constexpr std::size_t kMaxFileSize = 64u * 1024u * 1024u;

private:
    using Body = HResult (DFUEngine::*)(ProgressRecord& record);
    bool Start(std::int32_t code, Body body);
    void RunActivity(std::int32_t code, Body body);
    HResult RunReconfigure(ProgressRecord& record);
    HResult RunDownload(ProgressRecord& record);
    HResult RunManifest(ProgressRecord& record);
    // Reads and checks the DFU file; image gets the payload only: the suffix
    // is the host's and is never sent to the device.
    HResult LoadFile(ProgressRecord& record, std::vector<std::uint8_t>& image);
    void Report(ProgressRecord& record, std::int32_t operation, std::size_t done, std::size_t total, int percent);
    void FillDeviceState(ProgressRecord& record) const;
    void ReapThreads(bool all);

    std::shared_ptr<IDfuTransportFactory> m_factory;
    std::unique_ptr<IDfuTransport> m_transport;
    std::unique_ptr<CDfuHost> m_host;
    std::atomic<Callback*> m_callback{nullptr};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_abort{false};
    CMutex m_startLock; // guards the fields below and the start of activities
    std::wstring m_fileName;
    bool m_resetFirst = false;
    bool m_toDfuMode = true;
    std::vector<std::unique_ptr<CThread>> m_threads;
};
