#pragma once
// The upgrade dialog: finds the device through the upgrader factory, shows
// its name and firmware version, and runs the upgrade on one worker thread.
//
// The logic is portable; the window is an IDialogView (Win32 dialog on
// Windows, the terminal on Linux, a recorder in tests).
//
// Threads: the dialog lives on the GUI thread (the one that calls DoModal).
// The upgrade worker thread runs FlashOS, OnUpgradeSucceeded and
// ReloadDevice; the upgrader's callbacks reach the dialog from their own
// threads through IUpgradeDialog. The destructor waits for the worker before
// it deletes the upgrader.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/DialogParts.h"
#include "app/FlashDialog.h"
#include "platform/DialogView.h"
#include "platform/ResourceImage.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "upgrade/FirmwareUpgrade.h"

// The device descriptor that the USB hub check reports.
struct SUsbConnectionInfo
{
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
};

// Name of the embedded firmware image (RCDATA).
constexpr const char* kFirmwareResourceName = "BC_05_USB_RCDATA";

class CFlashDlg : public IFlashDialog, public IUpgradeDialog, private IDialogEvents
{
public:
    // The USB hub check: (device path, out connection information, true, out
    // hub-in-path flag). The connection information stays empty when the
    // descriptor could not be read.
    using HubCheckFunction = std::function<void(const char* devicePath, std::unique_ptr<SUsbConnectionInfo>* info,
                                                bool flag, bool* hubInPath)>;
    // Starts the worker thread; false when it could not be created.
    using ThreadStarter = std::function<bool(CThread& thread, CThread::Procedure procedure)>;

    explicit CFlashDlg(std::unique_ptr<IDialogView> view);
    ~CFlashDlg() override;
    CFlashDlg(const CFlashDlg&) = delete;
    CFlashDlg& operator=(const CFlashDlg&) = delete;

    void SetHubCheck(HubCheckFunction check) { m_hubCheck = std::move(check); }
    void SetResourceProvider(IResourceProvider* provider) { m_resources = provider; }
    void SetThreadStarter(ThreadStarter starter) { m_threadStarter = std::move(starter); }

    // IFlashDialog
    void SetSettings(const SDialogSettings& settings) override;
    int DoModal() override;
    std::int32_t GetReturnCode() const override { return m_returnCode.load(); }

    // IUpgradeDialog: the services an upgrader uses through m_pFlashDlg.
    bool IsSilentMode() const override { return SilentMode; }
    int GetProgressPos() override { return m_view->GetProgressPos(); }
    void SetProgressPos(int pos) override { m_view->SetProgressPos(pos); }
    void SetProgressRange(int lower, int upper) override { m_view->SetProgressRange(lower, upper); }
    void SetProgressStep(int step) override { m_view->SetProgressStep(step); }
    void StepProgress() override { m_view->StepProgress(); }
    void RedrawDialog() override { m_view->RedrawWindow(); }
    void ShowDialog() override { m_view->ShowWindow(true); }
    void SetStatusText(const std::string& text) override { m_status.SetWindowText(text); }
    void SetProgressWindowPercent(int percent) override;
    bool SetCompletionEvent() override;

    virtual void OnReadback();
    virtual void UpdateUpgradeButton();

    HResult LoadDevice();
    void UpdateVersionLabel(bool deviceKnown, bool showText);
    // The Upgrade button (and the silent start): checks, then the worker.
    void OnOK();
    void OnCancel();
    HResult LoadEmbeddedImage(std::uint32_t* size, std::uint8_t** buffer, std::uint32_t mcuIndex);
    static std::uint32_t UpgradeThreadProc(CFlashDlg* dialog);
    HResult FlashOS(std::uint32_t mcuIndex, std::uint32_t moduleNumber);
    void OnUpgradeSucceeded();
    HResult ReloadDevice();
    void WaitForUpgradeThread();
    void ReleaseDevice();

    // Progress steps of an upload: whole packets, doubled when the image is
    // validated afterwards, one more for a partial packet. A zero step count
    // makes the packet the whole upload (packetSize is updated).
    static std::uint32_t ComputeProgressSteps(std::uint32_t uploadSize, std::uint32_t* packetSize, bool validation);

    // Read-only views for tests and front ends.
    const std::string& GetDeviceVersion() const { return m_deviceVersion; }
    const std::string& GetProductNameA() const { return m_productNameA; }
    std::uint32_t GetWorkerThreadId() const { return m_threadId; }
    CFirmwareUpgrade* GetUpgrader() const { return m_pFirmwareUpgrade; }
    CColorStatic& StatusLabel() { return m_status; }

    // Settings (from the command line).
    bool SilentMode = false;
    bool ProgressMode = false;
    bool CheckMode = true;

private:
    // IDialogEvents
    void OnInitDialog() override;
    void OnCommand(int id) override;
    void OnSysCommand(std::uint32_t id) override;

    void EnableButton(int id, bool enable);
    void SetReturnCode(std::int32_t code) { m_returnCode.store(code); }

    std::unique_ptr<IDialogView> m_view;
    std::atomic<std::int32_t> m_returnCode{kReturnNoOutcome};
    std::int16_t mcuIndex = 0;
    const char* lpInputVersion = nullptr;
    std::uint16_t ProductID = 0;
    const char* lpProductionCMDLine = nullptr;
    std::string m_logNote;
    std::string m_deviceVersion;
    std::string m_productNameA;
    std::unique_ptr<CProg> m_pProg; // guarded by m_progLock: the upgrader's callbacks reach it
    CMutex m_progLock;
    wchar_t m_productName[126] = {};
    CEvent m_completionEvent;
    CMutex m_completionLock;
    CColorStatic m_status;
    CFirmwareUpgrade* m_pFirmwareUpgrade = nullptr;
    CThread m_thread;
    std::uint32_t m_threadId = 0;
    std::uint32_t m_moduleCount = 0;
    std::atomic<bool> m_upgradeEnabled{false};
    std::atomic<bool> m_closeEnabled{true};

    HubCheckFunction m_hubCheck;
    IResourceProvider* m_resources;
    ThreadStarter m_threadStarter;
};
