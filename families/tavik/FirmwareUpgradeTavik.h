#pragma once
// The Tavik upgrader: a CSR BlueCore headset that runs as HID device
// 2C6D:3240, is switched into USB DFU mode (0A12:0001) by a vendor HID
// command and then takes the firmware through our DFU engine.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dfu/DFUEngine.h"
#include "families/tavik/HidControl.h"
#include "platform/Sync.h"
#include "upgrade/FirmwareUpgrade.h"

// What the upgrader needs of the world around it. The product fills it with
// the system's services; tests and the bench with their own.
struct STavikEnvironment
{
    IHidApi* hidApi = nullptr; // must outlive the upgrader
    // DFU transports for the engine (null: keep the process's).
    std::shared_ptr<IDfuTransportFactory> dfuFactory;
    // Shows a system-modal message box; returns the button (1 = OK).
    std::function<int(const char* text, std::uint32_t style)> messageBox;
    // Starts the driver tool (its path, and the whole command line it gets)
    // and waits for it; false when it could not be started, with the system
    // error in startError (1223 when the user refused the administrator prompt).
    std::function<bool(const std::string& toolPath, const std::string& commandLine, std::uint32_t* exitCode,
                       std::uint32_t* startError)>
        startDriverTool;
    // The program's folder, with the separator at its end.
    std::string programDirectory;
    std::function<HResult(std::wstring* folder)> localAppDataFolder;
    bool is32On64 = false;
    // Bound on the reconfigure and manifest activities (product ms).
    std::uint32_t activityWaitMs = 120000;

    // The environment of the running program (hidApi must still be set).
    static STavikEnvironment ForSystem();
};

// How the driver tool is started from the program's folder (with its
// separator at the end): the package's INF path, the tool's path and the
// tool's whole command line "<tool> /INF:<inf> /ID:<hardware id>", each at
// its full length (a process command line may hold 32,767 characters; the
// paths are not cut, so a deep folder never loses the identifier). win64:
// 64-bit Windows (the 64-bit tool and package); unused on Linux.
struct SDriverToolPaths
{
    std::string infPath;
    std::string toolPath;
    std::string commandLine;
};
SDriverToolPaths BuildDriverToolPaths(const std::string& programDirectory, bool win64);

class CFirmwareUpgradeTavik : public CFirmwareUpgrade, public DFUEngine::Callback
{
public:
    explicit CFirmwareUpgradeTavik(STavikEnvironment environment);
    ~CFirmwareUpgradeTavik() override;

    HResult PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage, std::uint32_t* pImageSize,
                                 std::uint8_t** ppImage) override;
    std::int32_t CompareFirmwareVersion(std::string currentVersion, std::string newVersion) override;
    std::int32_t CheckDeviceVersion() override;
    HResult GetProductName(wchar_t* buffer, std::uint32_t size) override;
    std::uint32_t GetPacketSize() override;
    bool GetDeviceFWVersionString(std::string* version) override;
    bool GetCombinedFWVersionString(std::string* version) override;
    bool GetFWFileVersionString(std::uint32_t imageSize, const std::uint8_t* pImage, std::string* version) override;
    HResult InitFirmwareUpgrade(std::uint32_t uploadSize) override;
    bool FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size) override;
    bool FirmwareValidatePacket(const std::uint8_t* block, std::uint16_t length) override;
    bool Reserved24() override;
    bool IsWriteSynchronous() override;
    bool EndFirmwareUpgrade() override;
    HResult ResetFirmware() override;
    std::uint32_t GetNumMCU() override;
    HResult Init(std::uint32_t param1, std::uint32_t param2) override;

    // The family's own operations.
    virtual void ConstructInit();
    virtual bool OpenDeviceHandle();
    virtual bool ConfigureDFU();
    virtual bool UpdateDriverForPnP(const char* hardwareId, const char* infPath, bool* rebootRequired);

    // DFU engine callbacks (engine threads).
    void Started(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override;
    void Progress(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override;
    void Complete(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override;

    static constexpr const char* kReplugText =
        "Please unplug and plug in the device. Click OK to proceed the upgrade.";
    static constexpr const char* kDfuHardwareId = "USB\\VID_0A12&PID_0001";
    static constexpr const wchar_t* kDfuModeProductName = L"Veritane Tamsel Mic";
    // The outcome of a driver tool that could not be started at all.
    static constexpr std::uint32_t kDriverToolNotStarted = 0xFFFFFFFFu;

    // Members, in order.
    bool m_firmwareUpgradeInited = false;
    std::uint32_t m_blockSizeWrite = 1;
    TavikHIDHelper m_hidHelper;
    std::unique_ptr<CHidControl> m_pCHidControl;
    std::uint16_t m_hidProductId = 0x3240;
    std::uint16_t m_hidVendorId = 0x2C6D;
    std::wstring m_dfuFilePath; // at most 512 characters
    std::unique_ptr<DFUEngine> m_dfuEngine; // stopped first on destruction
    CStringListX m_deviceNames;
    CStringX m_deviceName;
    std::string m_valueUSBNum;
    CEvent m_reconfigureEvent;
    CEvent m_manifestEvent;
    std::atomic<std::int32_t> m_nBytes{0};
    std::atomic<bool> m_CheckDFUFirmwareComplete{false};
    bool m_In_Dfu_Mode = false;

private:
    // Runs the driver tool, logging with the caller's prefix; its exit code,
    // or a failure (never 0) when it could not be started.
    std::uint32_t RunDriverTool(const char* caller);
    int CountDfuDevices();
    bool WaitForActivity(CEvent& event, const char* caller);

    STavikEnvironment m_env;
    // Outcome of the last reconfigure and manifest activities (engine thread writes,
    // the worker reads after the activity's event).
    std::atomic<HResult> m_reconfigureResult{HR_OK};
    std::atomic<HResult> m_manifestResult{HR_OK};
};
