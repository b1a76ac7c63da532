#pragma once
// The device-upgrader interface: the abstract base class of every family's
// upgrader, its default behaviour, the version comparison, the two image
// copies and the factory.
//
// Threads: an upgrader has no lock. The GUI thread uses it for discovery and
// the start checks; the upgrade worker thread while the write runs; outside
// libraries may call implementations back on their own threads, which then
// reach the dialog only through m_pFlashDlg.
//
// Image buffers handed out by PrepareFirmwareImage and
// PrepareUploadFirmwareImage are allocated with new[]; the caller releases
// them with delete[].

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Types.h"
#include "upgrade/UpgradeDialog.h"

// Results of the version checks.
enum : std::int32_t
{
    CURR_VERSION_CHECK_OLDER = 0,
    CURR_VERSION_CHECK_SAME = 1,
    CURR_VERSION_CHECK_NEWER = 2,
    CURR_VERSION_CHECK_UNKNOWN = 3,
};

// Statuses of InitFirmwareUpgrade and of the upgrade run.
constexpr HResult kUpgradeFailed = static_cast<HResult>(0x80000000u);
constexpr HResult kUpgradeTimeout = static_cast<HResult>(0x80000001u);
constexpr HResult kUpgradeCancelled = static_cast<HResult>(0x80000002u);

class CFirmwareUpgrade
{
public:
    CFirmwareUpgrade();
    CFirmwareUpgrade(const CFirmwareUpgrade&) = delete;
    CFirmwareUpgrade& operator=(const CFirmwareUpgrade&) = delete;

    // The virtual operations, in slot order.
    virtual ~CFirmwareUpgrade();                                                        // 0
    virtual bool IsUSBHubAllowed();                                                     // 1
    virtual bool IsValidationRequired();                                                // 2
    virtual bool Reserved3();                                                           // 3
    virtual bool IsUpgradeAllowed();                                                    // 4
    virtual bool IsPowerCycleRequired();                                                // 5
    virtual std::uint32_t Reserved6();                                                  // 6
    virtual HResult PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage,
                                         std::uint32_t* pImageSize, std::uint8_t** ppImage); // 7
    virtual HResult PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage,
                                               std::uint32_t* pUploadSize, std::uint8_t** ppUpload); // 8
    virtual std::int32_t GetVersionCheckMethod();                                       // 9
    virtual std::int32_t CompareFirmwareVersion(std::string currentVersion, std::string newVersion); // 10
    virtual std::int32_t CheckDeviceVersion();                                          // 11
    virtual std::uint32_t Reserved12();                                                 // 12
    // size is the buffer's capacity in bytes.
    virtual HResult GetProductName(wchar_t* buffer, std::uint32_t size) = 0;            // 13
    virtual std::uint32_t GetPacketSize() = 0;                                          // 14
    virtual bool GetDeviceFWVersionString(std::string* version) = 0;                    // 15
    virtual bool GetCombinedFWVersionString(std::string* version) = 0;                  // 16
    virtual bool GetFWFileVersionString(std::uint32_t imageSize, const std::uint8_t* pImage,
                                        std::string* version) = 0;                     // 17
    virtual bool SupportFullImageFirmwareUpgrade();                                     // 18
    virtual HResult InitFirmwareUpgrade(std::uint32_t uploadSize) = 0;                  // 19
    virtual std::uint32_t Reserved20();                                                 // 20
    virtual bool FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size) = 0; // 21
    virtual bool FirmwareUpgradeWriteFullImage(const std::uint8_t* buffer, std::uint32_t size,
                                               IUpgradeDialog* dialog);                 // 22
    virtual bool FirmwareValidatePacket(const std::uint8_t* block, std::uint16_t length) = 0; // 23
    virtual bool Reserved24();                                                          // 24
    virtual bool IsWriteSynchronous();                                                  // 25
    virtual bool EndFirmwareUpgrade() = 0;                                              // 26
    virtual bool OverallInitFirmwareUpgrade();                                          // 27
    virtual bool OverallEndFirmwareUpgrade();                                           // 28
    virtual HResult ResetFirmware() = 0;                                                // 29
    virtual bool Reserved30();                                                          // 30
    virtual std::uint32_t GetNumMCU();                                                  // 31
    virtual HResult SetActiveMCU(std::uint32_t index);                                  // 32
    virtual std::uint32_t GetActiveMCU();                                               // 33
    virtual HResult GetMCUType(std::uint32_t index, std::uint32_t* type);               // 34
    virtual std::uint16_t GetProductID();                                               // 35
    virtual const char* GetDevicePath();                                                // 36
    virtual std::uint32_t DetermineQuillonfirmwareToLoad();                             // 37
    virtual std::uint32_t Reserved38();                                                 // 38
    virtual std::uint32_t Reserved39();                                                 // 39
    virtual std::uint32_t GetUploadSize();                                              // 40
    virtual HResult Init(std::uint32_t param1, std::uint32_t param2) = 0;               // 41

    // Makes a new upgrader of the configured family and initialises it,
    // trying ten times with 1,500 ms between tries; null when no supported
    // device answered. The caller owns the result.
    static CFirmwareUpgrade* CreateCFirmwareUpgrade();

    // How the factory constructs the family's upgrader (null: none is built
    // into this program, and the factory gives null at once).
    using Constructor = std::function<CFirmwareUpgrade*()>;
    static void SetConstructor(Constructor constructor);

    // Stores a copy of the device path (empty or null: none).
    void SetDevicePath(const char* path);

    // A family that found its device but may not open it leaves its advice
    // here: what the system refuses and how the user grants the access. The
    // dialog then tells that instead of "not connected" or a bare failure.
    // One note for the process, any thread; the last one counts, an empty
    // text clears it (a family clears it once it reached its device).
    static void SetDeviceAccessProblem(const std::string& text);
    static std::string GetDeviceAccessProblem();

    // Text of a version-check result ("CURR_VERSION_CHECK_OLDER", ...).
    static const char* VersionCheckName(std::int32_t result);

    // Members, in declaration order.
    std::uint32_t m_reserved38 = 0;
    std::uint32_t m_reserved39 = 0;
    std::uint32_t m_uploadSize = 0;
    std::uint16_t m_wVendorID;
    std::uint16_t m_wProductID;
    bool m_validationRequired;
    bool m_powerCycleRequired;
    std::uint32_t m_numMCU;
    std::uint32_t m_typeMCU;
    std::uint32_t m_indexMCU;
    std::int32_t m_versionCheckMethod;
    bool m_reserved30Flag;
    std::unique_ptr<char[]> m_pDevicePath;
    bool m_usbHubAllowed;
    IUpgradeDialog* m_pFlashDlg;
};
