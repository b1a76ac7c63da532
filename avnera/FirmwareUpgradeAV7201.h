#pragma once
// The AV7201 upgrader: a wireless headset (2C6D:3240; 170D:0001 while its
// chip runs the ROM's default image) whose firmware lives in an I2C EEPROM
// that the chip reads and writes for the host through its own 64-byte HID
// feature reports (ID 0xFF), in blocks of 4 bytes.
//
// Upgrade order: InitFirmwareUpgrade zeroes the image header at 0x80, the
// blocks follow (the first 128 bytes are the chip's configuration and stay
// as they are; the header block at 0x80 is held back), and
// EndFirmwareUpgrade reads back everything it wrote and only then writes the
// header (and reads that back too). An interrupted or failed upgrade
// therefore leaves a zeroed header, and the chip comes up on its default
// image. The validation pass reads every block back once more.
//
// Before anything is written the whole image is checked: it must fit the
// EEPROM (whose size the upgrader learns from where the EEPROM's address
// wraps: the configuration at 0 shows again at the size), and its file
// chain must lie wholly inside it.
//
// Images are ".rcf" text files (AvneraImageFiles.h). Threads: as every
// upgrader, one caller at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "avnera/AvneraUpgradeEnvironment.h"
#include "upgrade/FirmwareUpgrade.h"

class CFirmwareUpgradeAV7201 : public CFirmwareUpgrade
{
public:
    explicit CFirmwareUpgradeAV7201(SAvneraUpgradeEnvironment environment);
    ~CFirmwareUpgradeAV7201() override;

    HResult PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage, std::uint32_t* pImageSize,
                                 std::uint8_t** ppImage) override;
    std::int32_t CompareFirmwareVersion(std::string currentVersion, std::string newVersion) override;
    HResult GetProductName(wchar_t* buffer, std::uint32_t size) override;
    std::uint32_t GetPacketSize() override;
    bool GetDeviceFWVersionString(std::string* version) override;
    bool GetCombinedFWVersionString(std::string* version) override;
    bool GetFWFileVersionString(std::uint32_t imageSize, const std::uint8_t* pImage, std::string* version) override;
    HResult InitFirmwareUpgrade(std::uint32_t uploadSize) override;
    HResult PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage, std::uint32_t* pUploadSize,
                                       std::uint8_t** ppUpload) override;
    bool FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size) override;
    bool FirmwareValidatePacket(const std::uint8_t* block, std::uint16_t length) override;
    bool EndFirmwareUpgrade() override;
    HResult ResetFirmware() override;
    HResult Init(std::uint32_t param1, std::uint32_t param2) override;

    // The family's own operations.
    virtual void ConstructInit();
    // count <= kMaxEepromCount; up to 10 tries, 10 ms apart.
    virtual bool ReadEEPROM(std::uint32_t offset, std::uint8_t* buffer, std::uint32_t count);
    virtual bool WriteEEPROM(std::uint32_t offset, const std::uint8_t* data, std::uint32_t count);
    // The content of the index-th file (from 0) of the type in the device's
    // EEPROM; the caller owns *ppContent (new[]).
    virtual bool GetFileFromFWImage(std::uint8_t type, std::uint32_t index, std::uint32_t* pSize,
                                    std::uint8_t** ppContent);
    virtual bool MemoryPeek(std::uint16_t address, std::uint8_t* buffer, std::uint32_t count);
    virtual bool MemoryPoke(std::uint16_t address, const std::uint8_t* data, std::uint32_t count);
    // The EEPROM's size: the first size at which the bytes at 0 show again
    // (2 KiB to 32 KiB; 64 KiB when none, the 16-bit address's reach);
    // kDefaultEepromSize when the EEPROM cannot be read or its first bytes
    // tell nothing (all alike).
    std::uint32_t EepromSize();

    static constexpr std::uint16_t kVendorId = 0x2C6D;
    static constexpr std::uint16_t kProductId = 0x3240;
    static constexpr std::uint16_t kDefaultImageVendorId = 0x170D;
    static constexpr std::uint16_t kDefaultImageProductId = 0x0001;
    static constexpr std::uint32_t kBlockSize = 4;
    static constexpr std::uint32_t kMaxEepromCount = 53;
    static constexpr std::uint32_t kReportLength = 64;
    static constexpr std::uint32_t kHeaderOffset = 0x80;
    static constexpr std::uint32_t kDefaultEepromSize = 16384; // the headset's 24C128
    static constexpr std::uint32_t kReadBackCount = 28;        // bytes per read-back report
    static constexpr const wchar_t* kDefaultImageProductName = L"Orvo AV7201 Wireless Headset";
    static constexpr const char* kFileFilter = "RCF Files (*.rcf)|All Files (*.*)|*.*||";
    static constexpr const char* kFilePattern = "*.rcf";

    // Members, in order.
    CHidDevicePtr m_hidHandle;
    std::uint32_t m_defaultImage = 0;
    std::uint8_t m_headerCache[4] = {};
    std::uint32_t m_offsetWrite = 0;
    std::uint32_t m_validationOffset = 0;
    std::uint32_t m_initialized = 0;
    std::uint32_t m_firmwareImageLength = 0;

private:
    // One 4-byte-aligned piece of a block at m_offsetWrite.
    bool WritePiece(const std::uint8_t* data, std::uint32_t size);
    // A feature report of the device's length with the given leading bytes.
    EHidResult SetReport(const std::uint8_t* bytes, std::size_t count);
    EHidResult GetReport(std::uint8_t* report);
    std::size_t ReportLength() const;

    // Reads back [offset, offset + count) and compares it with m_expected.
    bool ReadBack(std::uint32_t offset, std::uint32_t count);

    SAvneraUpgradeEnvironment m_env;
    std::size_t m_featureLength = kReportLength;
    std::uint32_t m_eepromSize = 0; // 0: not learnt yet
    std::vector<std::uint8_t> m_expected; // what this upgrade wrote, by offset
};
