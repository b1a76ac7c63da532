#include "app/FlashApp.h"

#include <cstdio>
#include <vector>

#include "app/DiagnosticLog.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstance.h"
#include "resources/StringTable.h"

namespace
{
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr int kLogNamesPerFolder = 100;
}

int CNoDeviceDialog::DoModal()
{
    LogPrintf("CFlashDlg::No HIDDevice\n");
    m_returnCode = kReturnNoDevice;
    return kModalCancel;
}

std::string CFlashApp::LogFileNameFor(const SLocalTime& t)
{
    char name[64];
    std::snprintf(name, sizeof name, "Upgrade-%04d%02d%02d-%02d%02d%02d.log", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return name;
}

std::string CFlashApp::LogFileNameFor(const SLocalTime& t, int n)
{
    std::string name = LogFileNameFor(t);
    if (n > 1)
        name.insert(name.size() - 4, "-" + std::to_string(n));
    return name;
}

CFlashApp::CFlashApp() : CFlashApp(GetLocalTimeNow())
{
}

CFlashApp::CFlashApp(const SLocalTime& startTime) : CFlashApp(startTime, SLogFolders{{}, GetLocalAppDataFolder})
{
}

CFlashApp::CFlashApp(const SLocalTime& startTime, SLogFolders folders)
    : m_startTime(startTime)
    , m_dialogFactory([] { return std::make_unique<CNoDeviceDialog>(); })
    , m_messageBox(ShowSystemMessageBox)
{
    // The log is created, never taken over: a file of the name belongs to
    // another run (production runs in one folder may start in the same
    // second), so the next free name of the format is used. A folder that
    // cannot take the file at all gives way to the user's own folder.
    std::vector<std::string> candidates = {folders.workingDirectory.empty()
                                               ? std::string()
                                               : folders.workingDirectory + PathSeparator()};
    std::string refused;
    for (std::size_t folder = 0; folder < candidates.size() && m_logFileName.empty(); ++folder)
    {
        for (int n = 1; n <= kLogNamesPerFolder; ++n)
        {
            const std::string path = candidates[folder] + LogFileNameFor(startTime, n);
            const ENewLog opened = OpenNewLog(path);
            if (opened == ENewLog::Opened)
            {
                m_logFileName = path;
                m_logInWorkingDirectory = folder == 0;
                break;
            }
            if (opened == ENewLog::Failed)
            {
                if (folder == 0)
                    refused = path;
                break;
            }
        }
        // The user's own folder only when the working directory could not
        // take the log (looking it up creates it).
        std::wstring appData;
        if (m_logFileName.empty() && folder == 0 && folders.appData && !IsFailure(folders.appData(&appData)) &&
            !appData.empty())
            candidates.push_back(WideToNarrowPath(appData) + PathSeparator());
    }
    if (!m_logInWorkingDirectory && !m_logFileName.empty())
        LogPrintf("CFlashApp - the working directory cannot take the log [%s]; it is written to [%s]\n",
                  refused.c_str(), m_logFileName.c_str());
}

std::string CFlashApp::LogLocationNote() const
{
    if (m_logFileName.empty())
        return "No diagnostic log could be written.";
    if (!m_logInWorkingDirectory)
        return "The diagnostic log is in " + m_logFileName;
    return {};
}

void CFlashApp::SetCommandLine(int argc, char** argv)
{
    m_argc = argc;
    m_argv = argv;
}

bool CFlashApp::InitInstance()
{
    LogPrintf("CFlashApp::InitInstance\n");
    SetOwnProcessPriorityHigh();

    m_cmdInfo = CMyCommandLineInfo();
    ParseCommandLine(m_cmdInfo, m_argc, m_argv);

    CSingleInstanceLock singleInstance;
    std::uint32_t createError = 0;
    if (m_cmdInfo.lpProductionCMDLine == nullptr)
    {
        singleInstance.Create(m_singleInstanceName);
        createError = singleInstance.GetCreateError();
    }
    LogPrintf("CFlashApp::InitInstance -> ProductionCMDLine[%s]\n",
              m_cmdInfo.lpProductionCMDLine != nullptr ? m_cmdInfo.lpProductionCMDLine : "(null)");

    if (createError == kErrorAlreadyExists)
    {
        m_messageBox(LoadResourceString(IDS_ANOTHER_INSTANCE), kMbSystemModal | kMbOk);
    }
    else
    {
        std::unique_ptr<IFlashDialog> dialog = m_dialogFactory ? m_dialogFactory() : nullptr;
        if (!dialog)
            dialog = std::make_unique<CNoDeviceDialog>();
        SDialogSettings settings;
        settings.SilentMode = m_cmdInfo.SilentMode;
        settings.CheckMode = m_cmdInfo.CheckMode;
        settings.ProgressMode = m_cmdInfo.ProgressMode;
        settings.lpInputVersion = m_cmdInfo.lpInputVersion;
        settings.mcuIndex = m_cmdInfo.mcuIndex;
        settings.ProductID = m_cmdInfo.ProductID;
        settings.lpProductionCMDLine = m_cmdInfo.lpProductionCMDLine;
        settings.logNote = LogLocationNote();
        dialog->SetSettings(settings);

        const int response = dialog->DoModal();
        m_returnCode = dialog->GetReturnCode();
        switch (response)
        {
        case kModalOk:
            LogPrintf("OK with Return Code = 0x%x\n", m_returnCode);
            break;
        case kModalCancel:
            LogPrintf("Cancel with Return  Code = 0x%x\n", m_returnCode);
            break;
        case kModalAbort:
            LogPrintf("Abort with Error Code = 0x%x\n", m_returnCode);
            break;
        case kModalComplete:
            LogPrintf("Complete with Return Code = 0x%x\n", m_returnCode);
            break;
        default:
            LogPrintf("nResponse %d. Complete with Return Code = 0x%x\n", response, m_returnCode);
            break;
        }
        // The destruction waits for the upgrade worker and deletes the upgrader;
        // the lock is kept until then so no second copy can start meanwhile.
        dialog.reset();
    }
    singleInstance.Close();
    LogPrintf("CFlashApp::InitInstance - Done\n");
    return false;
}

std::int32_t CFlashApp::ExitInstance()
{
    LogPrintf("CFlashApp::ExitInstance - code[0x%08x] success[%d]\n", m_returnCode, m_returnCode >= 0 ? 1 : 0);
    LogPrintf("End of Log\n");
    CloseLog();
    // Only this run's own file: it was created by this run, never taken over.
    if (m_returnCode >= 0 && !m_logFileName.empty())
        DeleteFilePath(m_logFileName);
    else if (m_returnCode < 0 && m_cmdInfo.SilentMode && !LogLocationNote().empty())
        std::fprintf(stderr, "%s\n", LogLocationNote().c_str()); // a silent run has no message box to say it
    return m_returnCode;
}
