#pragma once
// The Tavik upgrader: a CSR BlueCore headset that runs as HID device
// 2C6D:3240, is switched into USB DFU mode (0A12:0001) by a vendor HID
// command and then takes the firmware through our DFU engine.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <vector>

#include "dfu/DFUEngine.h"
#include "families/tavik/DeviceAccessAdvice.h"
#include "families/tavik/HidControl.h"
#include "platform/DeviceAccess.h"
#include "platform/Sync.h"
#include "upgrade/FirmwareUpgrade.h"

// What one program run remembers across the upgraders the factory makes
// and retries: the driver tool runs at most once a run (so a user is asked
// for the administrator's password at most once, however often the factory
// tries), and the same advice is logged in full once.
struct STavikRunState
{
    CMutex lock;
    bool driverToolRan = false;
    std::uint32_t driverToolExitCode = 0;
    std::string lastAdvice;
};

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
    // Shared by every copy of this environment: one program run.
    std::shared_ptr<STavikRunState> runState = std::make_shared<STavikRunState>();
    // What the system tells about a refused device (null: nothing).
    std::function<SDeviceAccessFacts(const std::vector<std::string>& rulesFileNames, const std::string& group)>
        accessFacts;

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
    static constexpr std::uint16_t kDfuVendorId = 0x0A12;
    static constexpr std::uint16_t kDfuProductId = 0x0001;
    // The Linux driver package: the udev rules that grant the access, and the group they grant it to.
    static constexpr const char* kRulesFile = "70-orvo-tavik.rules";
    static constexpr const char* kAccessGroup = "plugdev";
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
    // The identity the headset takes in DFU mode: 0A12:0001, or what the DFU
    // file's suffix names where it names one (not 0xFFFF).
    std::uint16_t m_dfuVendorId = kDfuVendorId;
    std::uint16_t m_dfuProductId = kDfuProductId;
    // The USB port the headset was last opened on in HID mode ("" until
    // then): its DFU device is the one that comes back there.
    std::string m_headsetLocation;

private:
    // Runs the driver tool, logging with the caller's prefix; its exit code,
    // or a failure (never 0) when it could not be started.
    std::uint32_t RunDriverTool(const char* caller);
    std::uint32_t StartDriverTool(const char* caller, const SDriverToolPaths& paths);
    // Fills m_deviceNames with the headset's DFU device (none, or one): a
    // DFU-mode device of the headset's DFU identity, on the port the headset
    // left. Devices of other identities, on other ports, or (without a known
    // port) more than one candidate are left alone. Returns the count.
    int CountDfuDevices();
    // CountDfuDevices until it finds the device or timeoutMs (product ms)
    // passed; then the advice when the device is there but refuses the user.
    int WaitForDfuDevice(std::uint32_t timeoutMs);
    // The headset's DFU device is there but refuses this user: the advice.
    void CheckDfuAccess();
    // The HID channel opened (or failed to): the port, or the advice.
    void NoteHidOpen(bool opened);
    void ReportAccessProblem(const std::string& what, const std::string& node, const std::string& location,
                             EAccessRefusal refusal);
    bool WaitForActivity(CEvent& event, const char* caller);

    STavikEnvironment m_env;
    // Outcome of the last reconfigure and manifest activities (engine thread writes,
    // the worker reads after the activity's event).
    std::atomic<HResult> m_reconfigureResult{HR_OK};
    std::atomic<HResult> m_manifestResult{HR_OK};
    // DFU devices passed over (logged once each).
    std::set<std::wstring> m_passedOver;
};
