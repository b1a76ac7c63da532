#include "families/tavik/FirmwareUpgradeTavik.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "app/DiagnosticLog.h"
#include "dfu/DfuFile.h"
#include "families/tavik/DriverInstallErrors.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/System.h"
#include "resources/StringTable.h"
#include "tools/pellory/PelloryCommandLine.h"

namespace
{
constexpr std::uint32_t kDeviceSettleMs = 5000;
constexpr std::uint32_t kAfterInitMs = 1000;
// How often the headset's DFU device is looked for while it re-enumerates: a
// look (a fresh libusb context, the devices read from sysfs) costs a few
// milliseconds on a PC; looking every second found the device up to a
// second after it was there.
constexpr std::uint32_t kDfuLookMs = 100;
constexpr std::size_t kDfuPathChars = 512;
constexpr int kIdOk = 1;
constexpr std::uint32_t kErrorCancelled = 1223; // the user refused the consent prompt

constexpr unsigned kStringUpgrading = 105;
constexpr unsigned kStringDownloadFailed = 116;
constexpr unsigned kStringVerifying = 147;

// "%S": wide to 8-bit, for the log only.
std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* p = text; p != nullptr && *p != L'\0'; ++p)
        out += (*p >= 0x20 && *p < 0x7F) ? static_cast<char>(*p) : '?';
    return out;
}
} // namespace

STavikEnvironment STavikEnvironment::ForSystem()
{
    STavikEnvironment env;
    env.messageBox = [](const char* text, std::uint32_t style) { return ShowSystemMessageBox(text, style); };
    env.startDriverTool = [](const std::string& toolPath, const std::string& commandLine, std::uint32_t* exitCode,
                             std::uint32_t* startError) {
        if (RunCommandLineAndWait(toolPath, commandLine, kInfinite, exitCode))
            return true;
        *startError = GetLastSystemError();
        return false;
    };
    env.programDirectory = GetProgramDirectory() + PathSeparator();
    env.localAppDataFolder = GetLocalAppDataFolder;
    env.is32On64 = IsWow64Process32On64();
    env.accessFacts = GetDeviceAccessFacts;
    return env;
}

CFirmwareUpgradeTavik::CFirmwareUpgradeTavik(STavikEnvironment environment)
    : m_dfuEngine(std::make_unique<DFUEngine>()), m_env(std::move(environment))
{
    LogPrintf("CFirmwareUpgradeTavik::CFirmwareUpgradeTavik\n");
    ConstructInit();
}

void CFirmwareUpgradeTavik::ConstructInit()
{
    LogPrintf("CFirmwareUpgradeTavik::ConstructInit\n");
    m_firmwareUpgradeInited = false;
    m_blockSizeWrite = 1;
    m_hidProductId = 0x3240;
    m_hidVendorId = 0x2C6D;
    m_nBytes = 0;
    m_CheckDFUFirmwareComplete = false;
    m_In_Dfu_Mode = false;
    m_typeMCU = 15;
    m_powerCycleRequired = true;
    m_numMCU = 1;
    m_versionCheckMethod = 1;
}

CFirmwareUpgradeTavik::~CFirmwareUpgradeTavik()
{
    LogPrintf("CFirmwareUpgradeTavik::~CFirmwareUpgradeTavik\n");
    // The engine goes first: its threads call back into this object.
    m_dfuEngine.reset();
    m_hidHelper.Close();
    m_pCHidControl.reset();
    m_reconfigureEvent.Close();
    m_manifestEvent.Close();
}

int CFirmwareUpgradeTavik::CountDfuDevices()
{
    CStringListX present;
    DFUEngine::GetUSBDeviceNames(present);
    m_deviceNames.RemoveAll();
    std::vector<CStringX> candidates;
    CStringListX::POSITION pos = present.GetHeadPosition();
    while (pos != 0)
    {
        const CStringX& name = present.GetNext(pos);
        std::uint16_t vid = 0;
        std::uint16_t pid = 0;
        std::string location;
        if (!ParseDfuDeviceName(name.c_str(), &vid, &pid, &location))
            continue;
        // Another vendor's device in DFU mode takes nothing of ours.
        const bool firstSeen = m_passedOver.insert(name.c_str()).second;
        if (vid != m_dfuVendorId || pid != m_dfuProductId)
        {
            if (firstSeen)
                LogPrintf("CFirmwareUpgradeTavik - DFU device %s is %04X:%04X, not the headset's %04X:%04X: left alone\n",
                          Narrow(name.c_str()).c_str(), vid, pid, m_dfuVendorId, m_dfuProductId);
            continue;
        }
        if (!m_headsetLocation.empty() && location != m_headsetLocation)
        {
            if (firstSeen)
                LogPrintf("CFirmwareUpgradeTavik - DFU device %s is on USB port %s, the headset left port %s: left "
                          "alone\n",
                          Narrow(name.c_str()).c_str(), location.c_str(), m_headsetLocation.c_str());
            continue;
        }
        m_passedOver.erase(name.c_str());
        candidates.push_back(name);
    }
    if (m_headsetLocation.empty() && candidates.size() > 1)
    {
        // Without the port the headset left, two of a kind cannot be told apart.
        LogPrintf("CFirmwareUpgradeTavik - %d DFU devices %04X:%04X and no port to tell the headset's: none is taken\n",
                  static_cast<int>(candidates.size()), m_dfuVendorId, m_dfuProductId);
        candidates.clear();
    }
    for (const CStringX& name : candidates)
        m_deviceNames.AddTail(name);
    if (!candidates.empty())
        CFirmwareUpgrade::SetDeviceAccessProblem("");
    return m_deviceNames.GetCount();
}

int CFirmwareUpgradeTavik::WaitForDfuDevice(std::uint32_t timeoutMs)
{
    // A fresh look every kDfuLookMs until the device is there; the look made
    // when the deadline has passed is the last one, so a device that came
    // back in time is found even by a host that was held up.
    const CDeadline deadline(timeoutMs);
    for (;;)
    {
        const bool last = deadline.IsExpired();
        const int n = CountDfuDevices();
        if (n != 0)
            return n;
        if (last)
        {
            CheckDfuAccess();
            return 0;
        }
        CClock::Sleep(std::min(kDfuLookMs, std::max<std::uint32_t>(deadline.RemainingMs(), 1)));
    }
}

void CFirmwareUpgradeTavik::CheckDfuAccess()
{
    if (!m_env.dfuFactory)
        return;
    std::unique_ptr<IDfuTransport> transport = m_env.dfuFactory->CreateTransport();
    std::vector<SDfuDeviceEntry> refused;
    if (!transport || transport->EnumerateUnopenable(refused) != EDfuIo::Ok)
        return;
    for (const SDfuDeviceEntry& entry : refused)
    {
        std::uint16_t vid = 0;
        std::uint16_t pid = 0;
        std::string location;
        if (entry.runtimeMode || !ParseDfuDeviceName(entry.name, &vid, &pid, &location) || vid != m_dfuVendorId ||
            pid != m_dfuProductId || (!m_headsetLocation.empty() && location != m_headsetLocation))
            continue;
        LogPrintf("CFirmwareUpgradeTavik - DFU device %s is there but does not open: %s\n",
                  Narrow(entry.name.c_str()).c_str(), DfuAccessText(entry.access));
        // A device without its driver is the driver tool's business.
        if (entry.access == EDfuAccess::Denied || entry.access == EDfuAccess::Busy)
        {
            char what[80];
            std::snprintf(what, sizeof what, "the headset in USB DFU mode (%04X:%04X)", vid, pid);
            ReportAccessProblem(what, entry.node, location,
                                entry.access == EDfuAccess::Busy ? EAccessRefusal::Busy : EAccessRefusal::Denied);
        }
        return;
    }
}

void CFirmwareUpgradeTavik::NoteHidOpen(bool opened)
{
    if (!m_pCHidControl || m_env.hidApi == nullptr)
        return;
    const std::string& path = m_pCHidControl->DevicePath();
    const std::string location = path.empty() ? std::string() : m_env.hidApi->UsbPortLocation(path);
    if (opened)
    {
        m_headsetLocation = location;
        LogPrintf("CFirmwareUpgradeTavik - headset %s on USB port %s\n", path.c_str(),
                  location.empty() ? "(unknown)" : location.c_str());
        CFirmwareUpgrade::SetDeviceAccessProblem("");
        return;
    }
    const EHidResult why = m_pCHidControl->LastOpenResult();
    LogPrintf("CFirmwareUpgradeTavik - headset %s does not open: %s\n", path.c_str(), HidResultName(why));
    if (why == EHidResult::AccessDenied)
    {
        char what[64];
        std::snprintf(what, sizeof what, "the headset (%04X:%04X)", m_hidVendorId, m_hidProductId);
        ReportAccessProblem(what, path, location, EAccessRefusal::Denied);
    }
}

void CFirmwareUpgradeTavik::ReportAccessProblem(const std::string& what, const std::string& node,
                                                const std::string& location, EAccessRefusal refusal)
{
    SAccessSubject subject;
    subject.what = what;
    subject.node = node;
    subject.location = location;
    subject.rulesFile = kRulesFile;
    subject.group = kAccessGroup;
#ifndef _WIN32
    const SDriverToolPaths paths = BuildDriverToolPaths(m_env.programDirectory, m_env.is32On64 || sizeof(void*) == 8);
    subject.installCommand = PelloryRootCommand(paths.toolPath, paths.infPath, kDfuHardwareId);
#endif
    const SDeviceAccessFacts facts =
        m_env.accessFacts ? m_env.accessFacts({kRulesFile, PelloryRulesCopyName(kRulesFile)}, kAccessGroup)
                          : SDeviceAccessFacts();
    const std::string advice = DeviceAccessAdvice(subject, facts, refusal);
    bool repeated = false;
    if (m_env.runState)
    {
        CMutexLock lock(m_env.runState->lock);
        repeated = m_env.runState->lastAdvice == advice;
        m_env.runState->lastAdvice = advice;
    }
    if (repeated)
        LogPrintf("CFirmwareUpgradeTavik - access to %s is still missing\n", what.c_str());
    else
        LogPrintf("CFirmwareUpgradeTavik - %s\n", advice.c_str());
    CFirmwareUpgrade::SetDeviceAccessProblem(advice);
}

SDriverToolPaths BuildDriverToolPaths(const std::string& dir, bool win64)
{
    SDriverToolPaths p;
#ifdef _WIN32
    p.infPath = dir + (win64 ? "Driver\\Driver\\win64\\CSRBlueCoreUSB.inf" : "Driver\\Driver\\win32\\CSRBlueCoreUSB.inf");
    p.toolPath = dir + (win64 ? "Pellory64.exe" : "Pellory32.exe");
#else
    // The Linux package is the program's udev rules (resources/udev).
    (void)win64;
    p.infPath = dir + "Driver/Driver/linux/70-orvo-tavik.rules";
    p.toolPath = dir + "pellory";
#endif
    p.commandLine = p.toolPath + " /INF:" + p.infPath + " /ID:" + CFirmwareUpgradeTavik::kDfuHardwareId;
    return p;
}

std::uint32_t CFirmwareUpgradeTavik::RunDriverTool(const char* caller)
{
    // 64-bit Windows needs the 64-bit tool: a 32-bit installer cannot install
    // drivers there. That is the case for a 32-bit build under WOW64 and for
    // our own 64-bit build alike.
    const SDriverToolPaths p = BuildDriverToolPaths(m_env.programDirectory, m_env.is32On64 || sizeof(void*) == 8);
    LogPrintf("%s -> FullInfPath[%s]\n", caller, p.infPath.c_str());
    LogPrintf("%s -> DrvExePath[%s]\n", caller, p.toolPath.c_str());
    LogPrintf("%s -> CmdLine[%s]\n", caller, p.commandLine.c_str());
    if (m_env.runState)
    {
        // Once a run: a second start would ask for the administrator's
        // password again (UAC, polkit), and its outcome would be the first's.
        CMutexLock lock(m_env.runState->lock);
        if (m_env.runState->driverToolRan)
        {
            const std::uint32_t first = m_env.runState->driverToolExitCode;
            LogPrintf("%s -> the driver tool ran before in this run: not started again\n", caller);
            LogPrintf("%s -> ExitCode[%d]\n", caller, static_cast<int>(first));
            return first;
        }
    }
    const std::uint32_t exitCode = StartDriverTool(caller, p);
    if (m_env.runState)
    {
        CMutexLock lock(m_env.runState->lock);
        m_env.runState->driverToolRan = true;
        m_env.runState->driverToolExitCode = exitCode;
    }
    return exitCode;
}

std::uint32_t CFirmwareUpgradeTavik::StartDriverTool(const char* caller, const SDriverToolPaths& p)
{
    std::uint32_t exitCode = kDriverToolNotStarted;
    std::uint32_t startError = 0;
    if (m_env.startDriverTool && !m_env.startDriverTool(p.toolPath, p.commandLine, &exitCode, &startError))
    {
        // A tool that never ran installed nothing: that is a failure, not 0.
        exitCode = kDriverToolNotStarted;
        if (startError == kErrorCancelled)
            LogPrintf("%s -> the administrator prompt was refused: the driver was not installed\n", caller);
        else
            LogPrintf("%s -> the driver tool could not be started, error[%u]\n", caller, static_cast<unsigned>(startError));
    }
    LogPrintf("%s -> ExitCode[%d]\n", caller, static_cast<int>(exitCode));
    if (exitCode != 0)
        LogPrintf("%s -> the driver was not installed: %s (0x%08X)\n", caller, DriverInstallErrorText(exitCode),
                  static_cast<unsigned>(exitCode));
    return exitCode;
}

HResult CFirmwareUpgradeTavik::Init(std::uint32_t, std::uint32_t)
{
    LogPrintf("CFirmwareUpgradeTavik::Init\n");
    HResult result = HR_FAIL;
    DFUEngine::InitDLL(m_env.dfuFactory);
    LogPrintf("CFirmwareUpgradeTavik::Init -> m_pCHidControl[%p]\n", static_cast<void*>(m_pCHidControl.get()));

    if (!m_pCHidControl && m_env.hidApi != nullptr)
    {
        m_pCHidControl = std::make_unique<CHidControl>(m_hidProductId, m_hidVendorId, *m_env.hidApi);
        const std::uint32_t count = m_pCHidControl->CountDevices();
        if (count != 0)
        {
            if (m_pCHidControl->Open())
            {
                result = HR_OK;
                NoteHidOpen(true);
            }
            else
            {
                LogPrintf("CFirmwareUpgradeTavik::Init -> Failed to open device(HidControl Class)\n");
                NoteHidOpen(false);
            }
        }
        else
        {
            CClock::Sleep(kDeviceSettleMs);
            if (CountDfuDevices() != 0)
            {
                m_In_Dfu_Mode = true;
                result = HR_OK;
            }
            else
            {
                CheckDfuAccess();
                if (RunDriverTool("CFirmwareUpgradeTavik::Init") == 0)
                {
                    CClock::Sleep(kDeviceSettleMs);
                    if (CountDfuDevices() != 0)
                    {
                        m_In_Dfu_Mode = true;
                        result = HR_OK;
                    }
                    else
                    {
                        CheckDfuAccess();
                        if (m_env.messageBox &&
                            m_env.messageBox(kReplugText, kMbOk | kMbIconInformation | kMbSystemModal) == kIdOk)
                        {
                            m_pCHidControl.reset();
                            if (OpenDeviceHandle())
                            {
                                LogPrintf("CFirmwareUpgradeTavik::Init - PrepareHIDDevice [1]\n");
                                if (m_pCHidControl->EnterDFUMode())
                                {
                                    CClock::Sleep(kDeviceSettleMs);
                                    m_In_Dfu_Mode = true;
                                    result = HR_OK;
                                    LogPrintf("CFirmwareUpgradeTavik::Init -> EnterUsbDFUMode[1]\n");
                                }
                            }
                        }
                    }
                }
            }
            CClock::Sleep(kAfterInitMs);
            LogPrintf("CFirmwareUpgradeTavik::Init -> m_pCHidControl[%p] DeviceCount[%d]\n",
                      static_cast<void*>(m_pCHidControl.get()), static_cast<int>(count));
        }
    }
    LogPrintf("CFirmwareUpgradeTavik::Init - hRes[%08x], m_In_Dfu_Mode[%d]\n", result, m_In_Dfu_Mode ? 1 : 0);
    return result;
}

bool CFirmwareUpgradeTavik::OpenDeviceHandle()
{
    if (m_env.hidApi == nullptr)
        return false;
    m_pCHidControl = std::make_unique<CHidControl>(m_hidProductId, m_hidVendorId, *m_env.hidApi);
    if (m_pCHidControl->CountDevices() != 1)
        return false;
    if (!m_pCHidControl->Open())
    {
        LogPrintf("CFirmwareUpgradeTavik::Init -> Failed to open device\n");
        NoteHidOpen(false);
        return false;
    }
    NoteHidOpen(true);
    return true;
}

bool CFirmwareUpgradeTavik::ConfigureDFU()
{
    LogPrintf("CFirmwareUpgradeTavik::ConfigureDFU\n");
    const bool success = m_In_Dfu_Mode || (m_pCHidControl && m_pCHidControl->EnterDFUMode());
    LogPrintf("CFirmwareUpgradeTavik::ConfigureDFU - success[%d]\n", success ? 1 : 0);
    return success;
}

HResult CFirmwareUpgradeTavik::InitFirmwareUpgrade(std::uint32_t uploadSize)
{
    HResult status = kUpgradeFailed;
    bool proceed = false;
    if (ConfigureDFU())
    {
        // The headset re-enumerates as its DFU device: looked for until it is
        // there, for as long as the settle time.
        const int n = WaitForDfuDevice(kDeviceSettleMs);
        LogPrintf("CFirmwareUpgradeTavik::InitFirmwareUpgrade - device[%d]\n", n);
        if (n != 0)
        {
            proceed = true;
        }
        else
        {
            const std::uint32_t exitCode = RunDriverTool("CFirmwareUpgradeTavik::InitFirmwareUpgrade");
            CClock::Sleep(kDeviceSettleMs);
            if (exitCode == 0)
            {
                CClock::Sleep(kDeviceSettleMs);
                if (m_env.messageBox &&
                    m_env.messageBox(kReplugText, kMbOk | kMbIconInformation | kMbSystemModal) == kIdOk)
                {
                    if (m_pCHidControl)
                    {
                        m_pCHidControl.reset();
                        LogPrintf("CFirmwareUpgradeTavik::InitFirmwareUpgrade - m_pCHidControl is set to NULL\n");
                    }
                    if (OpenDeviceHandle())
                    {
                        LogPrintf("CFirmwareUpgradeTavik::InitFirmwareUpgrade - PrepareHIDDevice [1]\n");
                        if (m_pCHidControl->EnterDFUMode())
                        {
                            if (WaitForDfuDevice(kDeviceSettleMs) > 0)
                            {
                                m_In_Dfu_Mode = true;
                                proceed = true;
                            }
                            LogPrintf("CFirmwareUpgradeTavik::InitFirmwareUpgrade -> EnterUsbDFUMode[1]\n");
                        }
                    }
                }
            }
        }
    }
    if (proceed)
    {
        CStringListX::POSITION pos = m_deviceNames.GetHeadPosition();
        m_deviceName = m_deviceNames.GetNext(pos);
        m_valueUSBNum = Narrow(m_deviceName.c_str());
        LogPrintf("CFirmwareUpgradeTavik::InitFirmwareUpgrade - m_valueUSBNum[%s]\n", m_valueUSBNum.c_str());
        if (m_dfuEngine->CreateUSB(m_deviceName.c_str()))
            status = HR_OK;
        m_dfuEngine->SetCallback(this);
    }
    LogPrintf("CFirmwareUpgradeTavik::InitFirmwareUpgrade - status[%d]\n", status);
    if (status == HR_OK)
    {
        m_uploadSize = uploadSize;
        m_firmwareUpgradeInited = true;
    }
    return status;
}

HResult CFirmwareUpgradeTavik::PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage,
                                                    std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    if (pRawImage == nullptr || rawImageSize == 0 || pImageSize == nullptr || ppImage == nullptr)
        return HR_FAIL;
    std::wstring folder;
    const HResult folderResult = m_env.localAppDataFolder ? m_env.localAppDataFolder(&folder) : HR_FAIL;
    if (IsFailure(folderResult))
        return folderResult;
    m_dfuFilePath = folder + static_cast<wchar_t>(PathSeparator()) + L"Tavik.dfu";
    if (m_dfuFilePath.size() >= kDfuPathChars)
        m_dfuFilePath.resize(kDfuPathChars - 1);

    CExclusiveFile file;
    const bool created = file.Create(m_dfuFilePath);
    LogPrintf("CFirmwareUpgradeTavik::PrepareFirmwareImageCSRBluetooth - FilePath[%ls] Handle[%08x]\n",
              m_dfuFilePath.c_str(), static_cast<unsigned>(file.GetHandleValue()));
    if (!created)
    {
        LogPrintf("CFirmwareUpgradeTavik::PrepareFirmwareImageCSRBluetooth - CreateFile Failed!!!\n");
        return HR_FAIL;
    }
    std::size_t written = 0;
    if (!file.Write(pRawImage, rawImageSize, &written))
    {
        LogPrintf("CFirmwareUpgradeTavik::PrepareFirmwareImageCSRBluetooth - WriteFile Failed!!!\n");
        return HR_FAIL;
    }
    LogPrintf("CFirmwareUpgradeTavik::PrepareFirmwareImageCSRBluetooth - Bytes Written [%d]\n",
              static_cast<int>(written));
    file.Close();
    // The device the image is for: a suffix that names one narrows the DFU
    // identity; 0xFFFF leaves the headset's.
    SDfuSuffix suffix;
    std::size_t payloadSize = 0;
    m_dfuVendorId = kDfuVendorId;
    m_dfuProductId = kDfuProductId;
    if (ParseDfuFile(pRawImage, rawImageSize, &suffix, &payloadSize) == EDfuFileResult::Ok)
    {
        if (suffix.idVendor != kDfuSuffixAnyId)
            m_dfuVendorId = suffix.idVendor;
        if (suffix.idProduct != kDfuSuffixAnyId)
            m_dfuProductId = suffix.idProduct;
    }
    auto* copy = new (std::nothrow) std::uint8_t[rawImageSize];
    if (copy == nullptr)
        return HR_FAIL;
    std::memcpy(copy, pRawImage, rawImageSize);
    *pImageSize = rawImageSize;
    *ppImage = copy;
    return HR_OK;
}

bool CFirmwareUpgradeTavik::WaitForActivity(CEvent& event, const char* caller)
{
    LogPrintf("%s - waiting up to %u ms\n", caller, static_cast<unsigned>(m_env.activityWaitMs));
    if (event.Wait(m_env.activityWaitMs) != EWaitResult::Signalled)
    {
        LogPrintf("%s - Fail to WaitForSingleObject\n", caller);
        return false;
    }
    return true;
}

bool CFirmwareUpgradeTavik::FirmwareUpgradeWrite(const std::uint8_t*, std::uint32_t)
{
    LogPrintf("CFirmwareUpgradeTavik::FirmwareUpgradeWrite\n");
    bool ok = false;
    if (m_firmwareUpgradeInited)
    {
        const bool eventCreated = m_reconfigureEvent.Create(true, false);
        m_reconfigureResult = HR_FAIL;
        ok = m_dfuEngine->StartReconfigure(false, true, m_dfuFilePath.c_str());
        if (ok)
        {
            if (!eventCreated)
            {
                LogPrintf("CFirmwareUpgradeTavik::FirmwareUpgradeWrite - Fail to create event\n");
                ok = false;
            }
            else
            {
                ok = WaitForActivity(m_reconfigureEvent, "CFirmwareUpgradeTavik::FirmwareUpgradeWrite");
            }
        }
        // A device that did not reach DFU idle takes no download.
        if (ok && IsFailure(m_reconfigureResult.load()))
        {
            LogPrintf("CFirmwareUpgradeTavik::FirmwareUpgradeWrite - reconfigure failed hRes[%08x]\n",
                      m_reconfigureResult.load());
            ok = false;
        }
        if (ok)
            ok = m_dfuEngine->StartDownload(m_dfuFilePath.c_str());
    }
    LogPrintf("CFirmwareUpgradeTavik::FirmwareUpgradeWrite - success[%d]\n", ok ? 1 : 0);
    return ok;
}

bool CFirmwareUpgradeTavik::EndFirmwareUpgrade()
{
    LogPrintf("CFirmwareUpgradeTavik::EndFirmwareUpgradeCSRBluetooth\n");
    const bool eventCreated = m_manifestEvent.Create(true, false);
    m_manifestResult = HR_FAIL;
    bool ok = m_dfuEngine->StartManifest();
    if (ok)
    {
        if (!eventCreated)
        {
            LogPrintf("CFirmwareUpgradeTavik::EndFirmwareUpgradeCSRBluetooth - Fail to create event\n");
            ok = false;
        }
        else
        {
            ok = WaitForActivity(m_manifestEvent, "CFirmwareUpgradeTavik::EndFirmwareUpgradeCSRBluetooth");
        }
    }
    if (!m_CheckDFUFirmwareComplete)
        ok = false;
    // A device that refused the image at manifestation has not been upgraded.
    if (ok && IsFailure(m_manifestResult.load()))
    {
        LogPrintf("CFirmwareUpgradeTavik::EndFirmwareUpgradeCSRBluetooth - manifest failed hRes[%08x]\n",
                  m_manifestResult.load());
        ok = false;
    }
    LogPrintf("CFirmwareUpgradeTavik::EndFirmwareUpgradeCSRBluetooth - success[%d]\n", ok ? 1 : 0);
    return ok;
}

void CFirmwareUpgradeTavik::Started(DFUEngine*, const DFUEngine::ProgressRecord& record)
{
    LogPrintf("CFirmwareUpgradeTavik::Started [%d]\n", record.activityCode);
}

void CFirmwareUpgradeTavik::Progress(DFUEngine*, const DFUEngine::ProgressRecord& record)
{
    LogPrintf("CFirmwareUpgradeTavik::Progress [%d]\n", record.activityCode);
    if (record.activityCode == DFUEngine::kActivityManifest)
    {
        // The device checks and installs the image during manifestation: the
        // engine reports that as the manifest activity's operation 10.
        IUpgradeDialog* dialog = m_pFlashDlg;
        if (record.activity.GetOperation() == DFUEngine::kOpVerify && dialog != nullptr && !dialog->IsSilentMode())
        {
            dialog->SetStatusText(LoadResourceString(kStringVerifying));
            dialog->RedrawDialog();
        }
        return;
    }
    if (record.activityCode != DFUEngine::kActivityDownload)
        return;
    const DFUEngine::Activity& a = record.activity;
    const int operation = a.GetOperation();
    LogPrintf("CFirmwareUpgradeTavik::GetBytesDone [%d]\n", a.GetBytesDone());
    LogPrintf("CFirmwareUpgradeTavik::GetOperation [%d]\n", operation);
    LogPrintf("CFirmwareUpgradeTavik::GetSubOperation [%d]\n", a.GetSubOperation());

    IUpgradeDialog* dialog = m_pFlashDlg;
    // The bar shows the bytes sent: one step per block against a range of one
    // step per byte (the packet size is 1) would never move it.
    const long long total = a.GetBytesTotal();
    const long long done = a.GetBytesDone();
    const int percent = total > 0 ? static_cast<int>(std::clamp(done * 100 / total, 0LL, 100LL)) : 0;
    // Progress mode's window (the dialog stays hidden there) follows the same share.
    if (dialog != nullptr && a.GetSubOperation() == DFUEngine::kOpTransfer)
        dialog->SetProgressWindowPercent(percent);
    if (dialog != nullptr && !dialog->IsSilentMode())
    {
        if (a.GetSubOperation() == DFUEngine::kOpTransfer)
        {
            dialog->SetProgressRange(0, 100);
            dialog->SetProgressPos(percent);
        }
        else
        {
            dialog->SetProgressPos(record.percent);
            dialog->SetProgressRange(0, 100);
        }
        dialog->RedrawDialog();
        dialog->ShowDialog();
        std::string text;
        if (operation == DFUEngine::kOpVerify)
        {
            text = LoadResourceString(kStringVerifying);
        }
        else if (operation == DFUEngine::kOpTransfer)
        {
            char bytes[64];
            std::snprintf(bytes, sizeof bytes, "\n%d of %d bytes", a.GetBytesDone(), a.GetBytesTotal());
            text = std::string(LoadResourceString(kStringUpgrading)) + bytes;
        }
        else if (operation == DFUEngine::kOpFailed)
        {
            text = LoadResourceString(kStringDownloadFailed);
        }
        dialog->SetStatusText(text);
    }

    m_nBytes = a.GetBytesDone();
    if (a.GetBytesDone() == a.GetBytesTotal() && operation == 9)
    {
        m_CheckDFUFirmwareComplete = true;
        LogPrintf("CFirmwareUpgradeTavik::Progress m_CheckDFUFirmwareComplete[%d]\n", 1);
    }
    else if (operation == 15)
    {
        m_CheckDFUFirmwareComplete = false;
        LogPrintf("CFirmwareUpgradeTavik::Progress m_CheckDFUFirmwareComplete[%d]\n", 0);
    }
    LogPrintf("CFirmwareUpgradeTavik::Progress m_nBytes[%d], percent[%d] \n", m_nBytes.load(), record.percent);
}

void CFirmwareUpgradeTavik::Complete(DFUEngine*, const DFUEngine::ProgressRecord& record)
{
    LogPrintf("CFirmwareUpgradeTavik::Complete [%d]\n", record.activityCode);
    switch (record.activityCode)
    {
    case DFUEngine::kActivityDownload:
        if (m_pFlashDlg != nullptr)
            m_pFlashDlg->SetCompletionEvent();
        break;
    case DFUEngine::kActivityReconfigure:
        m_reconfigureResult = record.result;
        m_reconfigureEvent.Set();
        break;
    case DFUEngine::kActivityManifest:
        m_manifestResult = record.result;
        m_manifestEvent.Set();
        break;
    default:
        break;
    }
}

HResult CFirmwareUpgradeTavik::GetProductName(wchar_t* buffer, std::uint32_t size)
{
    const std::size_t chars = size / sizeof(wchar_t);
    HResult result = HR_FAIL;
    wchar_t name[CHidControl::kProductNameChars] = {};
    if (buffer != nullptr && chars > 0 && m_pCHidControl && m_pCHidControl->GetProductString(name))
    {
        std::wcsncpy(buffer, name, chars - 1);
        buffer[chars - 1] = L'\0';
        result = HR_OK;
    }
    if (IsFailure(result) && m_In_Dfu_Mode && buffer != nullptr && chars > 0)
    {
        std::wcsncpy(buffer, kDfuModeProductName, chars - 1);
        buffer[chars - 1] = L'\0';
        result = HR_OK;
    }
    LogPrintf("CFirmwareUpgradeTavik::GetProductName - hRes[%08x]\n", result);
    return result;
}

bool CFirmwareUpgradeTavik::GetDeviceFWVersionString(std::string* version)
{
    LogPrintf("CFirmwareUpgradeTavik::GetDeviceFWVersionString\n");
    if (version == nullptr)
        return false;
    if (m_In_Dfu_Mode)
        *version = "Unknown";
    else if (m_pCHidControl)
        m_pCHidControl->GetFirmwareVersion(version);
    return true;
}

std::int32_t CFirmwareUpgradeTavik::CompareFirmwareVersion(std::string current, std::string next)
{
    if (current == "Unknown")
        return CURR_VERSION_CHECK_OLDER;
    std::int32_t result = CURR_VERSION_CHECK_UNKNOWN;
    if (current.size() == next.size() && current.size() == 6)
    {
        auto pack = [](const std::string& v) {
            auto d = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(v[i]) - '0'); };
            return (d(0) << 16) | (d(2) << 12) | (d(3) << 8) | d(5);
        };
        const std::uint32_t cur = pack(current);
        const std::uint32_t nxt = pack(next);
        LogPrintf("Curr Ver[%d][%08X] New Ver[%d][%08x]\n", cur, cur, nxt, nxt);
        result = cur < nxt ? CURR_VERSION_CHECK_OLDER : cur > nxt ? CURR_VERSION_CHECK_NEWER : CURR_VERSION_CHECK_SAME;
    }
    LogPrintf("Version Check Result [%s]\n", VersionCheckName(result));
    return result;
}

bool CFirmwareUpgradeTavik::GetFWFileVersionString(std::uint32_t, const std::uint8_t*, std::string* version)
{
    LogPrintf("CFirmwareUpgradeTavik::GetFWFileVersionString\n");
    if (version != nullptr)
        *version = "1.05.4";
    return true;
}

bool CFirmwareUpgradeTavik::UpdateDriverForPnP(const char* hardwareId, const char* infPath, bool* rebootRequired)
{
    bool reboot = false;
    std::uint32_t error = 0;
    if (!UpdateDriverForDevices(hardwareId, infPath, &reboot, &error))
    {
        LogPrintf("CFirmwareUpgradeTavik::UpdateDriverForPnP - GetLastError:[%d]\n", static_cast<int>(error));
        return false;
    }
    if (rebootRequired != nullptr)
        *rebootRequired = reboot;
    LogPrintf("CFirmwareUpgradeTavik::UpdateDriverForPnP - FullInfPath:[%s] RebootRequired[%d]\n", infPath,
              reboot ? 1 : 0);
    return true;
}

std::int32_t CFirmwareUpgradeTavik::CheckDeviceVersion() { return CURR_VERSION_CHECK_OLDER; }
std::uint32_t CFirmwareUpgradeTavik::GetPacketSize() { return m_blockSizeWrite; }
bool CFirmwareUpgradeTavik::GetCombinedFWVersionString(std::string*) { return false; }
bool CFirmwareUpgradeTavik::FirmwareValidatePacket(const std::uint8_t*, std::uint16_t) { return false; }
bool CFirmwareUpgradeTavik::Reserved24() { return false; }
bool CFirmwareUpgradeTavik::IsWriteSynchronous() { return false; }
HResult CFirmwareUpgradeTavik::ResetFirmware() { return HR_OK; }

std::uint32_t CFirmwareUpgradeTavik::GetNumMCU()
{
    LogPrintf("CFirmwareUpgradeTavik::GetNumMCU - m_numMCU[%d]\n", static_cast<int>(m_numMCU));
    return m_numMCU;
}
