#include "app/FlashDlg.h"

#include <algorithm>
#include <cstdio>
#include <climits>
#include <cwchar>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "resources/StringTable.h"

namespace
{
constexpr std::uint32_t kThreadPollMs = 2000;
constexpr std::uint32_t kWriteStartDelayMs = 3000;
constexpr std::uint32_t kReloadDelayMs = 5000;
constexpr int kReloadAttempts = 5;
constexpr std::uint32_t kReloadRetryMs = 1000;
constexpr std::size_t kProductNameChars = 126;

std::string Str(unsigned id)
{
    return LoadResourceString(id);
}

// The wide product name in the narrow character set (the current locale's,
// as "%ls" would convert it). A character the narrow set cannot hold becomes
// '?' instead of cutting the name short.
std::string NarrowName(const wchar_t* name)
{
    std::string out;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const wchar_t* c = name; *c != L'\0'; ++c)
    {
        const std::size_t length = std::wcrtomb(bytes, *c, &state);
        if (length == static_cast<std::size_t>(-1))
        {
            out += '?';
            state = std::mbstate_t{};
        }
        else
        {
            out.append(bytes, length);
        }
    }
    return out;
}

// Releases a new[] image buffer handed out by an upgrader.
struct SImageBuffer
{
    std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    ~SImageBuffer() { delete[] data; }
};
} // namespace

CFlashDlg::CFlashDlg(std::unique_ptr<IDialogView> view)
    : m_view(std::move(view))
    , m_status(*m_view, IDC_STATUS)
    , m_resources(&GetPlatformResourceProvider())
    , m_threadStarter([](CThread& thread, CThread::Procedure procedure) { return thread.Start(std::move(procedure)); })
{
}

CFlashDlg::~CFlashDlg()
{
    WaitForUpgradeThread();
    ReleaseDevice();
}

void CFlashDlg::SetSettings(const SDialogSettings& settings)
{
    SilentMode = settings.SilentMode;
    CheckMode = settings.CheckMode;
    ProgressMode = settings.ProgressMode;
    lpInputVersion = settings.lpInputVersion;
    mcuIndex = settings.mcuIndex;
    ProductID = settings.ProductID;
    lpProductionCMDLine = settings.lpProductionCMDLine;
    m_logNote = settings.logNote;
}

int CFlashDlg::DoModal()
{
    m_view->SetSilentMode(SilentMode);
    return m_view->RunModal(*this);
}

void CFlashDlg::SetProgressWindowPercent(int percent)
{
    if (!ProgressMode)
        return;
    CMutexLock lock(m_progLock);
    if (m_pProg)
        m_pProg->SetPercent(std::clamp(percent, 0, 100));
}

bool CFlashDlg::SetCompletionEvent()
{
    CMutexLock lock(m_completionLock);
    return m_completionEvent.IsValid() && m_completionEvent.Set();
}

void CFlashDlg::EnableButton(int id, bool enable)
{
    if (id == IDC_UPGRADE)
        m_upgradeEnabled.store(enable);
    else if (id == IDC_CLOSE)
        m_closeEnabled.store(enable);
    m_view->EnableControl(id, enable);
}

// --- start, device, labels ------------------------------------------------

void CFlashDlg::OnInitDialog()
{
    const std::string about = Str(IDS_ABOUTBOX);
    if (!about.empty())
        m_view->AddSystemMenuItem(kIdmAboutBox, about);
    m_view->RemoveSystemMenuClose();
    m_view->SetIcon();
    m_view->ShowControl(IDC_READBACK, false);
    EnableButton(IDC_UPGRADE, false);

    // A note of an earlier run in this process is not this device's.
    CFirmwareUpgrade::SetDeviceAccessProblem("");
    if (IsFailure(LoadDevice()))
    {
        LogPrintf("CFlashDlg::No HIDDevice\n");
        // A device that is there but refuses this user is not "not
        // connected": the user is told what is missing and how to grant it.
        const std::string access = CFirmwareUpgrade::GetDeviceAccessProblem();
        if (!access.empty())
            LogPrintf("CFlashDlg::The device is there, but access to it is missing\n");
        if (SilentMode)
        {
            if (!access.empty())
                m_view->ShowNotice(access);
            SetReturnCode(kReturnNoDevice);
            OnCancel();
        }
        else
        {
            m_view->ShowMessageBox(access.empty() ? Str(IDS_NOT_CONNECTED) : access, kMbSystemModal | kMbOk);
            SetReturnCode(kReturnNoDevice);
        }
        return;
    }

    const std::string caption = NarrowName(m_productName) + " Device Firmware Upgrade";
    if (!SilentMode)
    {
        m_view->SetCaption(caption);
        m_productNameA = NarrowName(m_productName);
        m_status.SetWindowText(Str(IDS_READY_PREFIX) + m_productNameA + Str(IDS_READY_SUFFIX) + Str(IDS_DO_NOT_UNPLUG));
        UpdateVersionLabel(true, true);
        EnableButton(IDC_UPGRADE, true);
        UpdateUpgradeButton();
    }
    else
    {
        m_view->ShowWindow(false);
        // Asked before the worker starts: from then on the upgrader belongs
        // to the worker thread.
        UpdateUpgradeButton();
        OnOK();
    }
}

HResult CFlashDlg::LoadDevice()
{
    delete m_pFirmwareUpgrade;
    m_pFirmwareUpgrade = CFirmwareUpgrade::CreateCFirmwareUpgrade();

    HResult hr = HR_FAIL;
    if (m_pFirmwareUpgrade != nullptr)
    {
        std::fill(std::begin(m_productName), std::end(m_productName), L'\0');
        // A version query that fails must not leave the last device's version behind.
        m_deviceVersion.clear();
        hr = m_pFirmwareUpgrade->GetProductName(m_productName, static_cast<std::uint32_t>(sizeof m_productName));
        m_productName[kProductNameChars - 1] = L'\0';
        if (!IsFailure(hr))
        {
            m_pFirmwareUpgrade->SetActiveMCU(static_cast<std::uint32_t>(static_cast<std::int32_t>(mcuIndex)));
            m_pFirmwareUpgrade->GetDeviceFWVersionString(&m_deviceVersion);
        }
    }
    if (IsFailure(hr))
        LogPrintf("[ERROR][%d][%s] - hRes[0x%08x]\n", 559, "CFlashDlg::LoadDevice", static_cast<unsigned>(hr));
    return hr;
}

void CFlashDlg::UpdateVersionLabel(bool deviceKnown, bool showText)
{
    m_view->ShowControl(IDC_MCU_COMBO, false);
    m_view->ShowControl(IDC_VERSION2, false);
    m_view->ShowControl(IDC_VERSION, true);
    m_view->BringControlToTop(IDC_VERSION);
    std::string text = Str(IDS_CURRENT_VERSION);
    text += deviceKnown ? m_deviceVersion : Str(IDS_UNKNOWN_VERSION);
    m_view->SetControlText(IDC_VERSION, showText ? text : std::string());
}

void CFlashDlg::UpdateUpgradeButton()
{
    EnableButton(IDC_UPGRADE, m_pFirmwareUpgrade != nullptr && m_pFirmwareUpgrade->IsUpgradeAllowed());
}

void CFlashDlg::OnReadback()
{
}

// --- buttons and menu -----------------------------------------------------

void CFlashDlg::OnCommand(int id)
{
    switch (id)
    {
    case IDC_UPGRADE:
        // Enter reaches here as well; a disabled button does nothing.
        if (m_upgradeEnabled.load())
            OnOK();
        break;
    case IDC_CLOSE:
        // So does Escape: while a run is under way there is no way out.
        if (m_closeEnabled.load())
            OnCancel();
        break;
    case IDC_READBACK:
        OnReadback();
        break;
    default:
        break;
    }
}

void CFlashDlg::OnSysCommand(std::uint32_t id)
{
    if ((id & 0xFFF0u) == kIdmAboutBox)
        CAboutDlg::DoModal(*m_view);
}

void CFlashDlg::OnCancel()
{
    m_view->EndDialog(kModalCancel);
}

// --- upgrade start ---------------------------------------------------------

void CFlashDlg::OnOK()
{
    if (m_pFirmwareUpgrade == nullptr)
        return;

    if (!m_pFirmwareUpgrade->IsUSBHubAllowed())
    {
        std::unique_ptr<SUsbConnectionInfo> info;
        bool hubInPath = false;
        if (m_hubCheck)
            m_hubCheck(m_pFirmwareUpgrade->GetDevicePath(), &info, true, &hubInPath);
        if (info)
            LogPrintf("VID[%04x] PID[%04X]\n", info->idVendor, info->idProduct);
        else
            LogPrintf("Cannot get USB Descriptor\n");
        info.reset();
        if (hubInPath)
        {
            if (!SilentMode)
                m_view->ShowMessageBox(Str(IDS_NO_USB_HUB), kMbIconExclamation | kMbSystemModal | kMbOk);
            SetReturnCode(kReturnHubInPath);
            m_view->EndDialog(kModalAbort);
            return;
        }
    }

    if (CheckMode)
    {
        std::int32_t result = CURR_VERSION_CHECK_UNKNOWN;
        switch (m_pFirmwareUpgrade->GetVersionCheckMethod())
        {
        case 1:
        {
            SImageBuffer image;
            if (!IsFailure(LoadEmbeddedImage(&image.size, &image.data, m_pFirmwareUpgrade->GetActiveMCU())))
            {
                std::string fileVersion;
                if (m_pFirmwareUpgrade->GetFWFileVersionString(image.size, image.data, &fileVersion))
                    result = m_pFirmwareUpgrade->CompareFirmwareVersion(m_deviceVersion, fileVersion);
            }
            break;
        }
        case 2:
            result = m_pFirmwareUpgrade->CheckDeviceVersion();
            break;
        default:
            break;
        }

        switch (result)
        {
        case CURR_VERSION_CHECK_OLDER:
            break;
        case CURR_VERSION_CHECK_SAME:
            if (SilentMode)
            {
                SetReturnCode(kReturnSameVersion);
                m_view->EndDialog(kModalAbort);
                return;
            }
            break;
        case CURR_VERSION_CHECK_NEWER:
            if (SilentMode)
            {
                SetReturnCode(kReturnNewerVersion);
                m_view->EndDialog(kModalAbort);
                return;
            }
            m_status.SetTextColor(kColourRed);
            m_status.SetWindowText(Str(IDS_DEVICE_NEWER));
            EnableButton(IDC_UPGRADE, false);
            return;
        default:
            if (!SilentMode)
                m_view->ShowMessageBox(Str(IDS_NO_USB_HUB), kMbIconExclamation | kMbSystemModal | kMbOk);
            SetReturnCode(kReturnVersionUnknown);
            m_view->EndDialog(kModalAbort);
            return;
        }
    }

    // From here the upgrader belongs to the worker; no way out until it is done.
    if (!SilentMode)
    {
        EnableButton(IDC_UPGRADE, false);
        EnableButton(IDC_CLOSE, false);
    }
    const bool started = m_threadStarter(m_thread, [this] { return UpgradeThreadProc(this); });
    if (started)
    {
        m_threadId = m_thread.GetId();
        return;
    }
    SetReturnCode(kReturnThreadFailed);
    if (SilentMode)
    {
        // Nothing else would end a hidden dialog.
        m_view->EndDialog(kModalAbort);
    }
    else
    {
        EnableButton(IDC_CLOSE, true);
    }
}

// --- the worker thread -----------------------------------------------------

std::uint32_t CFlashDlg::UpgradeThreadProc(CFlashDlg* dialog)
{
    const std::uint32_t mcu = dialog->m_pFirmwareUpgrade->GetActiveMCU();
    if (!IsFailure(dialog->FlashOS(mcu, mcu)))
        dialog->OnUpgradeSucceeded();
    return 0;
}

std::uint32_t CFlashDlg::ComputeProgressSteps(std::uint32_t uploadSize, std::uint32_t* packetSize, bool validation)
{
    std::uint32_t packet = std::max<std::uint32_t>(*packetSize, 1);
    std::uint32_t steps = uploadSize / packet;
    if (validation)
        steps *= 2;
    if (steps == 0)
        packet = uploadSize;
    if (packet != 0 && uploadSize % packet != 0)
        ++steps;
    *packetSize = packet;
    return steps;
}

HResult CFlashDlg::FlashOS(std::uint32_t mcu, std::uint32_t moduleNumber)
{
    CFirmwareUpgrade* upgrader = m_pFirmwareUpgrade;
    HResult status = kUpgradeFailed;
    std::uint32_t mcuType = 0;
    upgrader->GetMCUType(mcu, &mcuType);
    upgrader->SetActiveMCU(mcu);

    SImageBuffer image;
    SImageBuffer upload;
    const HResult loaded = LoadEmbeddedImage(&image.size, &image.data, mcu);
    if (IsFailure(loaded))
    {
        status = kUpgradeFailed;
        if (loaded == HR_INVALIDARG)
            m_status.SetWindowText(Str(IDS_WRONG_IMAGE));
    }
    else
    {
        status = IsFailure(upgrader->PrepareUploadFirmwareImage(image.size, image.data, &upload.size, &upload.data))
                     ? kUpgradeFailed
                     : HR_OK;
    }

    if (!IsFailure(status) && upload.size == 0)
    {
        // Nothing to write is no upgrade: the run must not end as a success.
        LogPrintf("FlashOS - the upload image is empty\n");
        status = kUpgradeFailed;
    }
    if (!IsFailure(status) && upload.size != 0)
    {
        if (!SilentMode)
        {
            EnableButton(IDC_CLOSE, false);
            EnableButton(IDC_UPGRADE, false);
            m_status.SetTextColor(kColourBlack);
            m_status.SetWindowText(Str(IDS_INITIALIZING));
        }
        upgrader->m_pFlashDlg = this;
        status = upgrader->InitFirmwareUpgrade(upload.size);
        upgrader->m_uploadSize = upload.size;
        if (status == kUpgradeTimeout || status == kUpgradeCancelled || status == kUpgradeFailed)
        {
            m_status.SetTextColor(kColourRed);
            m_status.SetWindowText(Str(status == kUpgradeTimeout     ? IDS_TIMEOUT
                                       : status == kUpgradeCancelled ? IDS_CANCELLED
                                                                     : IDS_UPGRADE_FAILED));
        }

        std::uint32_t packetSize = upgrader->GetPacketSize();
        const std::uint32_t steps = ComputeProgressSteps(upload.size, &packetSize, upgrader->IsValidationRequired());
        if (!SilentMode)
        {
            m_view->SetProgressPos(0);
            m_view->SetProgressRange(0, static_cast<std::uint16_t>(steps));
            m_view->SetProgressStep(1);
        }
        if (ProgressMode)
        {
            CMutexLock lock(m_progLock);
            m_pProg = std::make_unique<CProg>(*m_view);
            m_pProg->Start(static_cast<std::uint16_t>(steps));
        }

        if (status == HR_OK)
        {
            if (!SilentMode)
            {
                EnableButton(IDC_CLOSE, false);
                EnableButton(IDC_UPGRADE, false);
                m_status.SetWindowText(Str(IDS_UPGRADING));
            }
            upgrader->m_pFlashDlg = this;
            LogPrintf("FlashOS (2)- m_pFlashDlg[%p]\n", static_cast<void*>(static_cast<IUpgradeDialog*>(this)));
            bool eventCreated;
            {
                CMutexLock lock(m_completionLock);
                eventCreated = m_completionEvent.Create(true, false);
            }
            CClock::Sleep(kWriteStartDelayMs);

            if (upgrader->FirmwareUpgradeWrite(upload.data, upload.size))
            {
                if (upgrader->IsWriteSynchronous())
                {
                    status = HR_OK;
                }
                else if (!eventCreated)
                {
                    status = kUpgradeFailed;
                    LogPrintf("FlashOS - Fail to create event\n");
                }
                else if (m_completionEvent.Wait(kInfinite) == EWaitResult::Signalled)
                {
                    status = HR_OK;
                }
                else
                {
                    status = kUpgradeFailed;
                    LogPrintf("FlashOS - Fail to WaitForSingleObject\n");
                }
            }
            else
            {
                status = kUpgradeFailed;
                if (!upgrader->FirmwareUpgradeWriteFullImage(upload.data, upload.size, this))
                    LogPrintf("Firmware Write Error!\n");
            }

            if (status == HR_OK && !upgrader->EndFirmwareUpgrade())
                status = kUpgradeFailed;

            if (status == HR_OK && upgrader->IsValidationRequired())
            {
                std::uint32_t offset = 0;
                std::uint32_t remaining = upload.size;
                while (remaining > 0)
                {
                    // The packet call takes 16-bit lengths: a larger packet is
                    // validated in pieces rather than as a zero-length block.
                    const auto length =
                        static_cast<std::uint16_t>(std::min<std::uint32_t>({remaining, packetSize, 0xFFFFu}));
                    if (!upgrader->FirmwareValidatePacket(upload.data + offset, length))
                    {
                        status = kUpgradeFailed;
                        break;
                    }
                    offset += length;
                    remaining -= length;
                    if (!SilentMode)
                    {
                        m_view->StepProgress();
                        m_view->RedrawWindow();
                        m_view->ShowWindow(true);
                        char detail[128];
                        if (m_moduleCount > 1)
                            std::snprintf(detail, sizeof detail, "\nModule %d/%d - %d of %d bytes",
                                          static_cast<int>(moduleNumber + 1), static_cast<int>(m_moduleCount),
                                          static_cast<int>(offset), static_cast<int>(upload.size));
                        else
                            std::snprintf(detail, sizeof detail, "\n%d of %d bytes", static_cast<int>(offset),
                                          static_cast<int>(upload.size));
                        m_status.SetWindowText(Str(IDS_VALIDATING) + detail);
                    }
                    if (ProgressMode)
                    {
                        CMutexLock lock(m_progLock);
                        if (m_pProg)
                            m_pProg->Step();
                    }
                }
            }
        }
    }

    if (!IsFailure(status))
    {
        LogPrintf("Finish\n");
        SetReturnCode(kReturnSuccess);
    }
    else
    {
        SetReturnCode(kReturnUpgradeFailed);
        // The device's DFU mode may have refused this user: say so, and how
        // the access is granted.
        const std::string access = CFirmwareUpgrade::GetDeviceAccessProblem();
        if (SilentMode)
        {
            if (!access.empty())
                m_view->ShowNotice(access);
            m_view->EndDialog(kModalAbort);
        }
        else
        {
            // The access advice when the system refused the device; a failed run keeps its log: say where
            // when it is not where users look.
            m_view->ShowMessageBox(Str(IDS_UPGRADE_FAILED) + (access.empty() ? std::string() : "\n" + access) +
                                       (m_logNote.empty() ? std::string() : "\n" + m_logNote),
                                   kMbSystemModal | kMbOk);
            EnableButton(IDC_CLOSE, true);
            EnableButton(IDC_UPGRADE, false);
        }
        LogPrintf("Error: Device upgrade error!!!\n");
    }
    LogPrintf("FlashOS return initStatus [%08x]\n", static_cast<unsigned>(status));
    return status;
}

HResult CFlashDlg::LoadEmbeddedImage(std::uint32_t* size, std::uint8_t** buffer, std::uint32_t /*mcuIndex*/)
{
    HResult hr = HR_FAIL;
    SResourceData resource;
    std::uint32_t systemError = 0;
    const EResourceResult found =
        m_resources != nullptr ? m_resources->FindRcData(kFirmwareResourceName, &resource, &systemError)
                               : EResourceResult::NotFound;
    if (found == EResourceResult::NotLoaded)
    {
        LogPrintf("[ERROR] FW Resource not loaded! Error [%d]\n", static_cast<int>(systemError));
        return HR_FAIL;
    }
    if (found == EResourceResult::NotFound)
        LogPrintf("[ERROR] FW Resource not found! Error [%d]\n", static_cast<int>(systemError));
    else
        hr = m_pFirmwareUpgrade->PrepareFirmwareImage(resource.size, resource.data, size, buffer);

    if (IsFailure(hr))
        LogPrintf("[ERROR] [%d][%s] - hRes[%08x]\n", 899, "CFlashDlg::LoadEmbeddedImage", static_cast<unsigned>(hr));
    return hr;
}

void CFlashDlg::OnUpgradeSucceeded()
{
    if (SilentMode)
    {
        m_view->EndDialog(kModalComplete);
        return;
    }
    m_view->SetControlText(IDC_VERSION, Str(IDS_CURRENT_VERSION));
    m_status.SetWindowText(Str(IDS_RELOADING));
    if (m_pFirmwareUpgrade->IsPowerCycleRequired())
    {
        m_view->ShowMessageBox(Str(IDS_UNPLUG_DEVICE), kMbIconInformation | kMbSystemModal | kMbOk);
        ReleaseDevice();
        m_view->EndDialog(kModalComplete);
        return;
    }
    m_pFirmwareUpgrade->ResetFirmware();
    ReleaseDevice();
    EnableButton(IDC_UPGRADE, false);
    ReloadDevice();
    EnableButton(IDC_CLOSE, true);
}

HResult CFlashDlg::ReloadDevice()
{
    CClock::Sleep(kReloadDelayMs);
    bool loaded = false;
    for (int attempt = 0; attempt < kReloadAttempts && !loaded; ++attempt)
    {
        loaded = !IsFailure(LoadDevice());
        if (!loaded)
            CClock::Sleep(kReloadRetryMs);
    }
    if (!loaded)
    {
        if (!SilentMode)
        {
            UpdateVersionLabel(false, true);
            m_status.SetWindowText(Str(IDS_DRIVER_NOT_LOADED));
            EnableButton(IDC_CLOSE, true);
        }
        return HR_FAIL;
    }
    if (!SilentMode)
    {
        UpdateVersionLabel(true, true);
        std::string text = Str(IDS_UPGRADE_DONE);
        if (m_pFirmwareUpgrade->IsPowerCycleRequired())
            text += Str(IDS_POWER_ON_AGAIN);
        m_status.SetWindowText(text);
        EnableButton(IDC_CLOSE, true);
    }
    return HR_OK;
}

void CFlashDlg::WaitForUpgradeThread()
{
    if (!m_thread.IsValid())
        return;
    std::uint32_t exitCode = 0;
    while (!m_thread.GetExitCode(&exitCode))
        m_thread.Wait(kThreadPollMs);
    m_thread.Close();
    m_threadId = 0;
}

void CFlashDlg::ReleaseDevice()
{
    delete m_pFirmwareUpgrade;
    m_pFirmwareUpgrade = nullptr;
    CMutexLock lock(m_completionLock);
    if (m_completionEvent.IsValid())
        m_completionEvent.Close();
}
