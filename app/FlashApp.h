#pragma once
// The application object: opens the log when built, reads the switches,
// keeps a second copy from running, runs the main dialog and turns its
// outcome into the exit code.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/CommandLine.h"
#include "app/FlashDialog.h"
#include "platform/System.h"

constexpr const char* kSingleInstanceMutexName = "Global\\{D2B45C67-FC2B-4269-AE40-BFD8B580246B}";

class CFlashApp
{
public:
    using DialogFactory = std::function<std::unique_ptr<IFlashDialog>()>;
    using MessageBoxFunction = std::function<void(const char* text, std::uint32_t style)>;

    // Where the run's log may go, in this order: the working directory, then
    // the user's local application-data folder (when the working directory
    // cannot take the file: Program Files, a read-only share).
    struct SLogFolders
    {
        std::string workingDirectory;                            // empty: the current one, names without a folder
        std::function<HResult(std::wstring* folder)> appData;   // GetLocalAppDataFolder in the program
    };

    // Takes the local time now and opens the log named after it.
    CFlashApp();
    explicit CFlashApp(const SLocalTime& startTime);
    CFlashApp(const SLocalTime& startTime, SLogFolders folders);
    ~CFlashApp() = default;
    CFlashApp(const CFlashApp&) = delete;
    CFlashApp& operator=(const CFlashApp&) = delete;

    void SetCommandLine(int argc, char** argv);
    void SetDialogFactory(DialogFactory factory) { m_dialogFactory = std::move(factory); }
    void SetMessageBox(MessageBoxFunction messageBox) { m_messageBox = std::move(messageBox); }
    // The name of the lock that keeps a second copy from running; tests give
    // a name of their own so they never meet a running copy of the program.
    void SetSingleInstanceName(std::string name) { m_singleInstanceName = std::move(name); }

    // The run; always returns false (no message loop of the application's own).
    bool InitInstance();
    // Last log lines, closes the log, deletes it after a non-negative code;
    // returns the exit code.
    std::int32_t ExitInstance();

    // The log's path as opened (a bare name in the working directory); empty
    // when no folder could take it.
    const std::string& GetLogFileName() const { return m_logFileName; }
    bool IsLogInWorkingDirectory() const { return m_logInWorkingDirectory; }
    // What the run says about its log when it is not where users look (in
    // the working directory): where it is, or that none could be written.
    std::string LogLocationNote() const;
    const SLocalTime& GetStartTime() const { return m_startTime; }
    std::int32_t GetReturnCode() const { return m_returnCode; }
    const CMyCommandLineInfo& GetCommandLineInfo() const { return m_cmdInfo; }

    static std::string LogFileNameFor(const SLocalTime& time);
    // The n-th name of a run's log (n from 1): the name of its start time,
    // and when another run of the same second holds that, the same name with
    // "-2", "-3" ... before ".log".
    static std::string LogFileNameFor(const SLocalTime& time, int n);

private:
    SLocalTime m_startTime;
    std::string m_logFileName;
    bool m_logInWorkingDirectory = false;
    int m_argc = 0;
    char** m_argv = nullptr;
    CMyCommandLineInfo m_cmdInfo;
    std::int32_t m_returnCode = 0;
    DialogFactory m_dialogFactory;
    MessageBoxFunction m_messageBox;
    std::string m_singleInstanceName = kSingleInstanceMutexName;
};
