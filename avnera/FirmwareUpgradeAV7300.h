#pragma once
// The AV7300 upgrader: an Avnera AV7300 product that boots from an SPI serial
// flash (or an I2C EEPROM). It talks to the chip's firmware through 0xFF
// feature reports (command packets, answered through the same report), reads
// the flash geometry the firmware reports, finds the part in the part table,
// erases the memory, streams the image through a RAM buffer of the chip and
// writes the first block, which holds the image header, last. When the device
// and the image both carry a secondary image (file 12) of a recent enough
// build, only the image from file 12 on is rewritten.
//
// A chip without a valid image runs its ROM (default image) as 170D:0300;
// the upgrader re-enumerates the chip into its flash mode and, on revision
// 1, sends the blocks through the ROM loader's bulk report 0xE4. The ROM
// leaves the two geometry bytes it read from the memory's header in its
// parameter block as the firmware does: an upgrade that was interrupted
// after its erase left them there (it writes them first and the header's
// checksum last), so the part is known again. A memory with no header at all
// (blank, or erased by another tool) is taken to be the part the image
// names, and the upgrade then proves that by reading back the whole image
// and by where the memory wraps before it writes the header.
//
// Success means the memory holds the image: the size, header and file chain
// of the image are checked before anything is erased; every write is
// followed until the chip is done with it; everything written is read back
// before the header goes in, and the header block is read back after it.
//
// An I2C EEPROM needs no erase: its "erase" overwrites the first block (where
// the image header goes, written last) with erased bytes, so that an upgrade
// that stops early leaves no valid header and the chip falls back to its ROM.
//
// Threads: one caller at a time (the upgrade worker thread).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "avnera/AV7300CommonHelper.h"
#include "platform/HidSystem.h"
#include "upgrade/FirmwareUpgrade.h"

// What the upgrader needs of the world around it: the HID class of the
// system (CreateSystemHid() in the product, the bench USB world in tests).
struct SAV7300Environment
{
    IHidSystem* hid = nullptr; // must outlive the upgrader
};

class CFirmwareUpgradeAV7300 : public CFirmwareUpgrade
{
public:
    explicit CFirmwareUpgradeAV7300(SAV7300Environment environment);
    ~CFirmwareUpgradeAV7300() override;

    // The interface.
    HResult Init(std::uint32_t param1, std::uint32_t param2) override;
    HResult GetProductName(wchar_t* buffer, std::uint32_t size) override;
    bool GetDeviceFWVersionString(std::string* version) override;
    bool GetCombinedFWVersionString(std::string* version) override;
    bool GetFWFileVersionString(std::uint32_t imageSize, const std::uint8_t* pImage, std::string* version) override;
    std::int32_t CompareFirmwareVersion(std::string currentVersion, std::string newVersion) override;
    std::uint32_t GetPacketSize() override;
    HResult PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage, std::uint32_t* pImageSize,
                                 std::uint8_t** ppImage) override;
    HResult PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage, std::uint32_t* pUploadSize,
                                       std::uint8_t** ppUpload) override;
    HResult InitFirmwareUpgrade(std::uint32_t uploadSize) override;
    bool FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size) override;
    bool FirmwareValidatePacket(const std::uint8_t* block, std::uint16_t length) override;
    bool EndFirmwareUpgrade() override;
    HResult ResetFirmware() override;

    // The family's own operations.
    virtual void ConstructInit();

    // Chip access; each returns true on success.
    bool MemoryPeek(std::uint16_t address, std::uint8_t* buffer, std::uint8_t count);
    bool MemoryPoke(std::uint16_t address, const std::uint8_t* data, std::uint8_t count);
    bool GetROMFWVersion(std::uint32_t* version);
    bool GetChipRevision(std::uint32_t* revision);
    bool EnterFirmwareUpgradeMode();
    bool ClearSector();
    bool ReadFlash(std::uint32_t address, std::uint16_t ramAddress, std::uint32_t count);
    bool WriteFlash(std::uint32_t address, std::uint16_t ramAddress, std::uint32_t count);
    bool SendBlockToRAM(std::uint32_t address, std::uint16_t ramAddress, std::uint32_t count, const std::uint8_t* data);
    bool ReadRamData(std::uint16_t ramAddress, std::uint32_t count, std::uint8_t* out);
    bool ReadBlockFromFlash(std::uint32_t address, std::uint32_t count, std::uint8_t* out);
    // The status byte of the command report; 0xFF when it cannot be read.
    std::uint8_t GetDeviceStatus();
    // 0x40 (asserted or gone), the status that matched, or 0x08 (time-out).
    std::uint8_t WaitForDeviceStatus(std::uint8_t mask, std::uint8_t want, std::uint32_t timeoutMs);
    bool ReceiveDataFromDevice(std::uint32_t* count);
    bool SetFlashUseTwiEeprom(std::uint8_t use);
    bool SetFlashStartAddress(std::uint32_t address);
    bool SetFlashBufferAddress(std::uint16_t ramAddress);
    bool SetFlashTransferSize(std::uint16_t count);
    bool SetFlashHeaderType1(std::uint16_t header);
    bool SetFlashSizeParams(std::uint32_t size, std::uint16_t page, std::uint8_t addressInfo);
    bool SetFlashSectorSize(std::uint32_t sector);
    bool SetPatchCode();
    bool EnableWriteFlashSST25VF512A();
    bool EraseFlashSST25VF512A(std::uint32_t length);
    bool EraseFlash(std::uint32_t length);
    // The serial-memory parameters of the part, written into the chip's block.
    bool SetupFlashParameters();
    // Reads the device's serial memory (the helper's read callback).
    bool ReadFlashData(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination);
    // Minor version of the version file in the device (0 when none).
    std::uint32_t GetDeviceMinorVersion();
    // Minor version of the version file in an image (0 when none).
    std::uint32_t GetFileMinorVersion(std::uint32_t imageSize, const std::uint8_t* pImage);

    bool FindFileInDeviceFWImage(std::uint32_t fileId, std::uint32_t* pOffset);
    bool FindFileInFWImage(std::uint32_t fileId, std::uint32_t* pOffset, std::uint32_t imageSize,
                           const std::uint8_t* pImage);

    static constexpr std::uint16_t kVendorId = 0x2C6D;
    static constexpr std::uint16_t kProductId = 0x3240;
    static constexpr std::uint16_t kDefaultVendorId = 0x170D;
    static constexpr std::uint16_t kDefaultProductId = 0x0300;
    static constexpr std::uint32_t kMinorVersionSecUpgradeSupport = 5;
    static constexpr std::size_t kReportSize = 263;
    static constexpr std::size_t kCommandReportSize = 64;
    // The image file as a file dialog offers it.
    static constexpr const char* kFileFilter = "FF Files (*.ff)|All Files (*.*)|*.*||";
    static constexpr const char* kFileExtension = "ff";
    static constexpr const char* kFilePattern = "*.ff";
    // Bytes read back per serial-memory transfer when checking a write.
    static constexpr std::uint32_t kVerifyChunk = 256;

    // Members, in order.
    CHidDevicePtr m_hidHandle;
    std::uint32_t m_defaultImage = 0;
    std::uint32_t m_initialized = 0;
    std::uint32_t m_firmwareImageLength = 0;
    std::uint32_t m_cacheFirstBlock = 1;
    std::uint16_t m_smData = 0;
    std::uint32_t m_flashPart = 0;
    std::uint8_t m_memtype = 0;
    std::uint32_t m_romFWVersion = 0;
    std::uint32_t m_chipRevision = 0;
    std::uint8_t m_romLoaderWrite = 0;
    std::uint32_t m_secondaryImageOffsetFile = 0;
    std::uint32_t m_secondaryImageOffset = 0;
    std::uint8_t m_secondaryImageUpdateOnly = 0;
    std::uint32_t m_flashWriteBase = 0;
    std::uint16_t m_ramBaseWrite = 0;
    std::uint32_t m_baseOffsetWrite = 0;
    std::uint32_t m_offsetWrite = 0;
    std::uint32_t m_blockSizeWrite = 15;
    std::uint32_t m_blockSendIndex = 0;
    std::uint8_t m_report[kReportSize] = {};
    std::unique_ptr<std::uint8_t[]> m_headerCache;
    std::uint32_t m_headerCacheLength = 0;
    std::uint16_t m_ramBaseRead = 0;
    std::uint32_t m_blockSizeRead = 15;
    std::uint8_t m_receive[kReportSize] = {};
    std::unique_ptr<CAV7300CommonHelper> m_helper;
    // The ROM found no header that names the memory: the part is the one the
    // image names, proved at the end of the upgrade.
    std::uint32_t m_partFromImage = 0;
    // What the device's chain reaches (read with its version) and what the
    // image being compared carries: a device that tells the image's version
    // but lacks what the image carries does not hold it.
    bool m_deviceVersionFromPrimary = false; // its chain reaches no version file
    bool m_deviceReachesSecondary = false;
    bool m_imageCarriesVersionFile = false;
    bool m_imageCarriesSecondary = false;

    // Waits until the chip has carried out a command that is not answered
    // (a serial-memory transfer): false when it went away or stayed busy.
    bool WaitUntilDone();
    // Reads the serial memory back and compares it with what was written.
    bool VerifyFlash(std::uint32_t address, const std::uint8_t* expected, std::uint32_t length);
    // Where the memory wraps, for a part the image named: false when it is
    // smaller or larger than that part.
    bool ProveMemorySize();
    // How the memory erases, for a part the image named, before anything of
    // the image goes in: false when its sector is not that part's (or it is
    // not the SST25VF512A the image is made for, or it keeps nothing).
    bool ProveEraseGeometry();

private:
    bool OpenDevice(std::uint16_t vendorId, std::uint16_t productId);
    // Sends m_report (zero-padded to the device's feature report length).
    bool SendReport(std::size_t length);
    bool PokeBytes(std::uint16_t address, std::uint32_t value, std::uint8_t count);
    bool SpimPoke(const char* prefix, std::uint16_t address, std::uint8_t value);
    // One block of the upload (at most m_blockSizeWrite bytes).
    bool WriteOneBlock(const std::uint8_t* block, std::uint32_t size);
    bool ReadVersionFile(std::vector<std::uint8_t>* content);

    // One transfer of the memory into the RAM read buffer, whose first bytes
    // are first filled with a pattern: a transfer the chip did not carry
    // out leaves the pattern (*pTaken false).
    bool ReadFlashChecked(std::uint32_t address, std::uint32_t count, const std::uint8_t* pattern,
                          std::uint8_t* out, bool* pTaken);
    bool CheckAnswer(const char* what, std::uint8_t sub, std::uint8_t minimumLength);
    // Sixteen marker bytes written at an address, read back, a sector erased
    // with the firmware's command (the erase waits as EraseFlash does).
    bool WriteMarker(std::uint32_t address);
    bool ReadPiece(std::uint32_t address, std::uint8_t* out);
    bool EraseSectorAt(std::uint32_t address);

    SAV7300Environment m_env;
    std::size_t m_featureLength = kReportSize;
    // Everything written in this upgrade, by upload offset.
    std::vector<std::uint8_t> m_expected;
    // Where the image's file chain ends (the next file header), from the
    // start of the upload; 0 when not known.
    std::uint32_t m_uploadChainEnd = 0;
    // The device's chain: whether it holds file 12, and where it ends when
    // it does not (kNoFreeSector: it does not end before the flash does).
    bool m_secondaryInDevice = false;
    std::uint32_t m_deviceChainEnd = 0;
    // Secondary-only update: the version file's header in the upload (the
    // device must reach it there after the update); kNoFreeSector when none.
    std::uint32_t m_uploadVersionFile = 0;
    // After a secondary-only update: the device's own chain reaches file 12
    // where it was written and the version file behind it.
    bool CheckDeviceChain();
};
