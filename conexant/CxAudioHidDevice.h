#pragma once
// The device object of the Conexant HID audio library and its chip classes.
//
// A device object is bound to one chip type: it keeps copies of the type's
// protocol descriptor and (where the type has one) of its five memory
// descriptors, and the property row of the type. Discovery (CxAudioHidLib)
// builds it from an opened HID interface: one handle opened for overlapped
// writing, one for overlapped reading.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "conexant/CxAudioHidDev.h"
#include "platform/HidSystem.h"
#include "platform/Sync.h"

// The device mutex, recursive per thread as a Windows mutex is: the thread
// that holds it takes it again at once (a progress callback that calls back
// into the device), every other thread waits for it, at most the time-out.
// Each successful Wait needs its Release on the same thread.
class CCxDeviceMutex
{
public:
    bool Create();
    bool IsValid() const { return m_event.IsValid(); }
    EWaitResult Wait(std::uint32_t timeoutMs);
    // false when the calling thread does not hold the mutex.
    bool Release();

private:
    CEvent m_event; // auto-reset; signalled while no thread holds the mutex
    std::atomic<std::thread::id> m_owner{};
    std::uint32_t m_depth = 0; // touched only by the holder
};

// What discovery hands to the chip object.
struct SCxDeviceHandles
{
    std::shared_ptr<CCxDeviceMutex> mutex; // null: no device
    CHidDevicePtr writeHandle;             // overlapped, write access
    CHidDevicePtr readHandle;              // overlapped, read access
};

struct SCxIdentityRecord
{
    std::uint32_t flags = 0;
    std::wstring path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
    SHidCaps caps;
    std::wstring productString;
};

class CxAudioHidDevice : public ICxAudioHidDev
{
public:
    CxAudioHidDevice(int chipType, const SCxIdentityRecord& identity, SCxDeviceHandles handles);

    // ICxAudioBase
    ICxAudioBase* QueryInterface(const char* interfaceName) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    // ICxAudioHidDev
    int MemoryAccess(std::uint32_t direction, std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address,
                     std::uint32_t count, std::uint8_t* buffer, std::uint32_t bufferSize,
                     SCxAccessStatistics* statistics) override;
    int MemoryRead(std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address, std::uint8_t* buffer,
                   std::uint32_t count, SCxAccessStatistics* statistics) override;
    int MemoryWrite(std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address, const std::uint8_t* buffer,
                    std::uint32_t count, SCxAccessStatistics* statistics) override;
    int EepromRead(std::uint32_t address, std::uint8_t* buffer, std::uint32_t count) override;
    int EepromWrite(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t count) override;
    CxPatchProgressCallback SetPatchProgressCallback(void* context, CxPatchProgressCallback callback) override;
    CxMemoryProgressCallback SetMemoryProgressCallback(void* context, CxMemoryProgressCallback callback) override;
    SCxIoSettings GetIoSettings() const override { return m_io; }
    void SetIoSettings(const SCxIoSettings& settings) override { m_io = settings; }
    int MemoryPatch(std::uint32_t memoryType, std::uint32_t options, const char* fileName, const char* const* lines,
                    std::uint32_t lineCount, void* result) override;
    int MemoryPatch(const char* fileName, S37File* result) override;
    int AutoConfigure() override { return AutoConfigure(true); }
    // AutoConfigure without its write test of a blank part (a verification or
    // a read writes nothing): a blank part is then taken as present for the
    // choice of EEPROM payloads, the one-byte payload whenever the firmware's
    // size code differs from the header's.
    int AutoConfigureWithoutWriting() { return AutoConfigure(false); }
    std::int32_t GetProperty(int index) override;
    const std::uint8_t* GetEepromLayout() const override { return m_eepromLayout; }
    std::int64_t GetEepromSize() const override { return m_eepromSize; }
    bool GetOneBytePayload() const override { return m_oneBytePayload; }
    int GetChipType() const override { return m_chipType; }
    const char* GetChipName() const override { return CxChipName(m_chipType); }
    SCxDeviceIdentity GetDeviceInfo() const override;
    int GetPatchVersion(char* text, std::size_t size) override;
    int WriteOutputReport(const std::uint8_t* report, std::uint32_t length, std::uint32_t* written,
                          std::uint32_t delayMs) override;
    int ReadInputReport(std::uint8_t reportId, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* read) override;

    // The checks of an access, in the order MemoryAccess makes them before it
    // takes the mutex (without the buffer's): 0 or the status it would fail with.
    int ValidateAccess(std::uint32_t direction, std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address,
                       std::uint32_t count) const;
    // The bytes of the EEPROM behind memory type 0: from its header when that
    // is valid (and less when the part shows its first 16 bytes again at a
    // power of two below both that size and reach: it wraps there);
    // otherwise, with mayWrite, by a write test on testAddress (below 256;
    // 43 otherwise) that finds where the part's addresses wrap (the cell is
    // restored). 0 when neither tells; status 39 when a write test finds no
    // part, 31 when the part did not take its byte back (it is changed there).
    int DetectEepromCapacity(bool mayWrite, std::uint64_t reach, std::uint64_t& bytes, std::uint32_t testAddress = 43);
    // Before a write that reaches topAddress (256 or more): whether a part
    // answers there. Reads alone cannot tell a part that ends below (where
    // nothing answers, reads give 0xFF) from an erased one; a test byte
    // written there (restored at once) can. When the cell at topAddress
    // takes no bit of it while the one at lowAddress does, bytes becomes
    // the largest power of two not above topAddress (at most what it was).
    // 0, or the status of an access (31 when a cell did not take its byte back).
    int ConfirmEepromReach(std::uint32_t topAddress, std::uint32_t lowAddress, std::uint64_t& bytes);

    // The descriptors as bound (tests, the tool).
    const SCxProtocolDescriptor& Protocol() const { return m_protocol; }
    const SCxMemoryDescriptor& Memory(int memoryType) const { return m_memories[memoryType]; }
    std::uint16_t OutputReportLength() const { return m_outputLength; }
    std::uint16_t InputReportLength() const { return m_inputLength; }

protected:
    ~CxAudioHidDevice() override;
    // The CX2070x built for a corrected identity speaks the CX20562 request format.
    void SwitchToCx20562Format();
    bool m_hasI2c = false;

private:
    class CI2cFace : public ICxAudioHidDevI2C
    {
    public:
        explicit CI2cFace(CxAudioHidDevice& owner) : m_owner(owner) {}
        ICxAudioBase* QueryInterface(const char* name) override { return m_owner.QueryInterface(name); }
        std::uint32_t AddRef() override { return m_owner.AddRef(); }
        std::uint32_t Release() override { return m_owner.Release(); }
        ICxAudioHidDev* GetHidDev() override { return &m_owner; }

    private:
        CxAudioHidDevice& m_owner;
    };

    int AutoConfigure(bool mayWrite);
    // Writes a cell's bits the other way and back; changes: the cell took any.
    int TestEepromCell(std::uint32_t address, bool& changes);
    std::int32_t ComputeSignatureAddress();
    // One request and, when one is expected, its reply; see MemoryAccess.
    int SendReport(const std::uint8_t* report, std::uint32_t length, std::uint32_t delayMs, std::uint32_t* written,
                   std::uint32_t* issued);
    int ReadReply(std::uint8_t reportId, std::uint8_t* buffer, std::uint32_t length, std::uint32_t* read,
                  bool* timedOut);
    // Reads and drops the replies still owed to requests of earlier
    // exchanges (sent again after a time-out, or of an access that failed).
    void SettleOwedReplies(std::uint8_t reportId);

    std::atomic<std::uint32_t> m_refs{1};
    int m_chipType;
    SCxProtocolDescriptor m_protocol;
    SCxMemoryDescriptor m_memories[kCxMemoryTypeCount] = {};
    bool m_hasMemoryTable = false;
    SCxIdentityRecord m_identity;
    SCxDeviceHandles m_handles;
    std::uint16_t m_outputLength;
    std::uint16_t m_inputLength;
    SCxIoSettings m_io;
    CxPatchProgressCallback m_patchProgress = nullptr;
    CxMemoryProgressCallback m_memoryProgress = nullptr;
    void* m_callbackContext = nullptr;
    std::int32_t m_properties[kCxPropertyCount] = {};
    std::uint8_t m_eepromHeader[2] = {};
    std::int64_t m_eepromSize = -1;
    std::uint8_t m_eepromLayout[26] = {};
    bool m_oneBytePayload = false;
    std::uint32_t m_owedReplies = 0; // under the device mutex
    CI2cFace m_i2c{*this};
};

class CxAudioHidDev20562 : public CxAudioHidDevice
{
public:
    CxAudioHidDev20562(const SCxIdentityRecord& identity, SCxDeviceHandles handles);
};

class CxAudioHidDev2070x : public CxAudioHidDevice
{
public:
    CxAudioHidDev2070x(const SCxIdentityRecord& identity, SCxDeviceHandles handles);
};

class CxAudioHidDev2077x : public CxAudioHidDevice
{
public:
    CxAudioHidDev2077x(const SCxIdentityRecord& identity, SCxDeviceHandles handles);
};

class CxAudioHidDev2076x : public CxAudioHidDevice
{
public:
    CxAudioHidDev2076x(const SCxIdentityRecord& identity, SCxDeviceHandles handles);
};

class CxAudioHidDev20805 : public CxAudioHidDevice
{
public:
    CxAudioHidDev20805(const SCxIdentityRecord& identity, SCxDeviceHandles handles);
};

// The chip object of a chip type (0 ... 4), holding one reference; null for other types.
CxAudioHidDevice* CreateCxChipObject(int chipType, const SCxIdentityRecord& identity, SCxDeviceHandles handles);

// The property row a chip type starts with.
void CxInitialProperties(int chipType, std::int32_t (&properties)[kCxPropertyCount]);
