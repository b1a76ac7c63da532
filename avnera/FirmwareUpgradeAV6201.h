#pragma once
// The AV6201 and AV6302 upgraders: wireless headsets (2C6D:3240 or
// 2C6D:3226, or the chip's flash loader 170D:0100/0101 when no image boots)
// upgraded through the Avnera host interface (OrvoHostApi.h): the chip is
// found with AvDllListDevices/AvDllFindDevice, switched into flash mode (on
// generic HID it re-enumerates and the handle is re-opened), its serial
// memory erased and written with SerialMemErase/SerialMemWrite in blocks of
// 1024 bytes, and restarted with systemReset. The AV6201 boots from an SPI
// flash (part row 36), the AV6302 from an I2C EEPROM (row 12); nothing else
// differs.
//
// Images are text files with one byte per line (AvneraImageFiles.h), checked
// whole before anything is touched (they must fit the memory; one that
// carries another memory's part header is refused). The first block, which
// gets the part header of the row over its first three bytes, is written
// last, after everything else was read back; an interrupted upgrade leaves
// no part header, so the chip stays in its loader, where the next run finds
// it. The erase never writes image bytes.
// Threads: one caller at a time (the host interface is not thread-safe).

#include <cstdint>
#include <memory>
#include <vector>
#include <string>

#include "avnera/AvneraUpgradeEnvironment.h"
#include "avnera/OrvoHostApi.h"
#include "upgrade/FirmwareUpgrade.h"

class CFirmwareUpgradeAV6201 : public CFirmwareUpgrade
{
public:
    explicit CFirmwareUpgradeAV6201(SAvneraUpgradeEnvironment environment);
    ~CFirmwareUpgradeAV6201() override;

    HResult PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage, std::uint32_t* pImageSize,
                                 std::uint8_t** ppImage) override;
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

    static constexpr std::uint16_t kVendorId = 0x2C6D;
    static constexpr std::uint16_t kProductId = 0x3240;
    static constexpr std::uint16_t kProductIdAlternate = 0x3226;
    static constexpr std::uint16_t kLoaderVendorId = 0x170D; // the chip's flash loader, 0x0100 + mode
    static constexpr std::uint16_t kLoaderProductId = 0x0100;
    static constexpr std::uint32_t kPartRowAV6201 = 36; // SPI flash, 128 KB, 4 KB sectors
    static constexpr std::uint32_t kPartRowAV6302 = 12; // I2C EEPROM, 16 KB, page 64
    static constexpr int kTries = 5;
    static constexpr std::uint32_t kRetryMs = 2000;
    // Display names: 0x3226 and 0x3123 headsets must carry kProductName;
    // a 0x0100 device (the chip's flash loader) is shown as kFlashLoaderName.
    static constexpr const wchar_t* kProductName = L"Orvo AV62 Wireless Headset";
    static constexpr const wchar_t* kFlashLoaderName = L"Orvo AV62 Wireless Headset (update mode)";

    // Members, in order.
    CHidDevicePtr m_hidHandle;
    std::uint32_t m_initialized = 0;
    std::uint32_t m_blockSizeWrite = 1024;
    AvDeviceHandle* m_avHandle = nullptr;
    std::unique_ptr<std::uint8_t[]> m_imageCopy;
    std::uint32_t m_imageCopySize = 0;
    std::uint32_t m_partRow = kPartRowAV6201;
    std::uint32_t m_offsetWrite = 0;

protected:
    SAvneraUpgradeEnvironment m_env;

    // Size and part header of the memory of m_partRow.
    std::uint32_t MemorySize() const;
    void PartHeader(std::uint8_t header[3]) const;

private:
    bool WriteBlock(std::uint32_t address, std::uint8_t* data, std::uint32_t size);
    // Reads [address, address + size) back and compares it with m_expected.
    bool ReadBack(std::uint32_t address, std::uint32_t size);
    bool CheckImage(const std::uint8_t* image, std::uint32_t size, const char* where);
    std::size_t m_featureLength = 64;
    // What the memory must hold at the end (the part header in its first
    // three bytes); the chip takes its write triggers without an answer, so
    // everything is read back.
    std::vector<std::uint8_t> m_expected;
    // The first block, held back until everything else is in place.
    std::vector<std::uint8_t> m_firstBlock;
    std::uint32_t m_upgradeLength = 0;
};

class CFirmwareUpgradeAV6302 : public CFirmwareUpgradeAV6201
{
public:
    explicit CFirmwareUpgradeAV6302(SAvneraUpgradeEnvironment environment);
    void ConstructInit() override;
};
