#pragma once
// The AV6201 and AV6302 upgraders: wireless headsets (2C6D:3240 or
// 2C6D:3226) upgraded through the Avnera host interface (OrvoHostApi.h):
// the chip is found with AvDllListDevices/AvDllFindDevice, switched into
// flash mode (on generic HID it re-enumerates and the handle is re-opened),
// its serial memory erased and written with SerialMemErase/SerialMemWrite in
// blocks of 1024 bytes from address 0, and restarted with systemReset.
// The AV6201 boots from an SPI flash (part row 36), the AV6302 from an I2C
// EEPROM (row 12); nothing else differs.
//
// Images are text files with one byte per line (AvneraImageFiles.h). The
// first block gets the part header of its row over its first three bytes.
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

private:
    bool WriteBlock(const std::uint8_t* block, std::uint32_t size);
    std::size_t m_featureLength = 64;
    // The last block as the chip should hold it, and where: read back at the
    // end (the chip takes its write triggers without an answer).
    std::vector<std::uint8_t> m_lastWritten;
    std::uint32_t m_lastWrittenAt = 0;
};

class CFirmwareUpgradeAV6302 : public CFirmwareUpgradeAV6201
{
public:
    explicit CFirmwareUpgradeAV6302(SAvneraUpgradeEnvironment environment);
    void ConstructInit() override;
};
