#pragma once
// The interfaces of the Conexant HID audio library.
//
// Objects are reference counted: QueryInterface hands out an interface of
// the same object by name, with one more reference ("ICxAudioHidDev" on
// every chip object, "ICxAudioHidDevI2C" on the CX2070x and CX2077x
// objects; any other name gives null). Release deletes the object with its
// last reference and closes its device handles.
//
// Threads: memory operations may be called from any thread; the object's
// device mutex serialises whole accesses (5,000 ms wait, status 2 when it
// cannot be taken). Callbacks run on the caller's thread inside the access.
// Failures are returned as the library's status codes (CxAudioTypes.h).

#include <cstddef>
#include <cstdint>

#include "conexant/CxAudioTypes.h"

class ICxAudioBase
{
public:
    virtual ICxAudioBase* QueryInterface(const char* interfaceName) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

protected:
    virtual ~ICxAudioBase() = default;
};

class ICxAudioHidDev : public ICxAudioBase
{
public:
    // direction 0 reads, 1 writes. flags: kCxAccessVerify reads every
    // written chunk back and compares it; bits 1-3 select the register of a
    // memory addressed through the command byte. A write longer than the
    // buffer repeats the buffer (a pattern fill); a read reads at most
    // bufferSize bytes. statistics (optional) receives min(statistics->size,
    // 900) bytes of the access's record: set its size first.
    virtual int MemoryAccess(std::uint32_t direction, std::uint32_t memoryType, std::uint32_t flags,
                             std::uint32_t address, std::uint32_t count, std::uint8_t* buffer,
                             std::uint32_t bufferSize, SCxAccessStatistics* statistics) = 0;
    virtual int MemoryRead(std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address,
                           std::uint8_t* buffer, std::uint32_t count, SCxAccessStatistics* statistics) = 0;
    virtual int MemoryWrite(std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address,
                            const std::uint8_t* buffer, std::uint32_t count, SCxAccessStatistics* statistics) = 0;
    // Memory type 0 (EEPROM) with flags 0.
    virtual int EepromRead(std::uint32_t address, std::uint8_t* buffer, std::uint32_t count) = 0;
    virtual int EepromWrite(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t count) = 0;

    // Each returns the previous function; the context changes only when a
    // non-null one is given. Both callbacks share the context.
    virtual CxPatchProgressCallback SetPatchProgressCallback(void* context, CxPatchProgressCallback callback) = 0;
    virtual CxMemoryProgressCallback SetMemoryProgressCallback(void* context, CxMemoryProgressCallback callback) = 0;

    virtual SCxIoSettings GetIoSettings() const = 0;
    virtual void SetIoSettings(const SCxIoSettings& settings) = 0;

    // S37 patch programming. options: 0x01 write, 0x02 verify, 0x08 clear
    // shadow and ignore ranges, 0x10 clear them and register the ranges of
    // the file's layout (set when neither 0x01 nor 0x02 is), 0x20 honour the
    // ignore ranges. Lines come from fileName (read as a text file) or from
    // lines[0 .. lineCount). result (optional, first word its size) receives
    // the SCxPatchStatistics of a write or verification or the S37File of an
    // analysis, cut to its size.
    virtual int MemoryPatch(std::uint32_t memoryType, std::uint32_t options, const char* fileName,
                            const char* const* lines, std::uint32_t lineCount, void* result) = 0;
    // Analysis of a file; 6 without a result buffer.
    virtual int MemoryPatch(const char* fileName, S37File* result) = 0;

    // EEPROM auto-configuration and the property table (-1 outside 0 ... 35).
    virtual int AutoConfigure() = 0;
    virtual std::int32_t GetProperty(int index) = 0;
    // The EEPROM layout header read by AutoConfigure (26 bytes from address 32).
    virtual const std::uint8_t* GetEepromLayout() const = 0;
    virtual std::int64_t GetEepromSize() const = 0; // -1 unknown; 2^(code + 8) for a size code below 24, else 0
    virtual bool GetOneBytePayload() const = 0;

    virtual int GetChipType() const = 0;
    virtual const char* GetChipName() const = 0;
    virtual SCxDeviceIdentity GetDeviceInfo() const = 0;
    // "%02X-%02X-%02X" of the patch the chip's firmware runs; text holds at least 9 bytes.
    virtual int GetPatchVersion(char* text, std::size_t size) = 0;

    // One report exchange. WriteOutputReport gives 0 or 21, ReadInputReport 0 or 20.
    virtual int WriteOutputReport(const std::uint8_t* report, std::uint32_t length, std::uint32_t* written,
                                  std::uint32_t delayMs) = 0;
    virtual int ReadInputReport(std::uint8_t reportId, std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* read) = 0;
};

// The I2C side of the CX2070x and CX2077x objects (same object).
class ICxAudioHidDevI2C : public ICxAudioBase
{
public:
    virtual ICxAudioHidDev* GetHidDev() = 0; // no extra reference
};
