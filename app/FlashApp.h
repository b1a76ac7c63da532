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

    // Takes the local time now and opens the log named after it.
    CFlashApp();
    explicit CFlashApp(const SLocalTime& startTime);
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

    const std::string& GetLogFileName() const { return m_logFileName; }
    const SLocalTime& GetStartTime() const { return m_startTime; }
    std::int32_t GetReturnCode() const { return m_returnCode; }
    const CMyCommandLineInfo& GetCommandLineInfo() const { return m_cmdInfo; }

    static std::string LogFileNameFor(const SLocalTime& time);

private:
    SLocalTime m_startTime;
    std::string m_logFileName;
    int m_argc = 0;
    char** m_argv = nullptr;
    CMyCommandLineInfo m_cmdInfo;
    std::int32_t m_returnCode = 0;
    DialogFactory m_dialogFactory;
    MessageBoxFunction m_messageBox;
    std::string m_singleInstanceName = kSingleInstanceMutexName;
};
