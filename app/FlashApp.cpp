#include "app/FlashApp.h"

#include <cstdio>

#include "app/DiagnosticLog.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstance.h"
#include "resources/StringTable.h"

namespace
{
constexpr std::uint32_t kErrorAlreadyExists = 183;
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

CFlashApp::CFlashApp() : CFlashApp(GetLocalTimeNow())
{
}

CFlashApp::CFlashApp(const SLocalTime& startTime)
    : m_startTime(startTime)
    , m_logFileName(LogFileNameFor(startTime))
    , m_dialogFactory([] { return std::make_unique<CNoDeviceDialog>(); })
    , m_messageBox(ShowSystemMessageBox)
{
    OpenLog(m_logFileName.c_str());
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
    if (m_returnCode >= 0)
        DeleteFilePath(m_logFileName);
    return m_returnCode;
}
