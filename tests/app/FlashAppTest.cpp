#include <gtest/gtest.h>

#include <regex>

#include "app/DiagnosticLog.h"
#include "app/FlashApp.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"
#include "tests/TestSupport.h"

namespace
{
struct SFakeDialogRecord
{
    bool ran = false;
    SDialogSettings settings;
};

class CFakeDialog : public IFlashDialog
{
public:
    CFakeDialog(SFakeDialogRecord& record, int response, std::int32_t code)
        : m_record(record), m_response(response), m_code(code)
    {
    }
    void SetSettings(const SDialogSettings& settings) override { m_record.settings = settings; }
    int DoModal() override
    {
        m_record.ran = true;
        return m_response;
    }
    std::int32_t GetReturnCode() const override { return m_code; }

private:
    SFakeDialogRecord& m_record;
    int m_response;
    std::int32_t m_code;
};

// Runs the application object in its own working directory, as the program does.
class FlashAppTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_cwd = GetWorkingDirectory();
        m_folder = MakeTestFolder(std::string("app-") + testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(SetWorkingDirectory(m_folder));
        m_lockName = UniqueTestLockName("app");
    }
    void TearDown() override { SetWorkingDirectory(m_cwd); }

    struct SRun
    {
        std::int32_t code = 0;
        std::string logName;
        std::string logBytes; // empty when the file was deleted
        bool logKept = false;
        std::vector<std::string> messages;
    };

    SRun Run(std::vector<std::string> args, int response, std::int32_t code)
    {
        CFlashApp app;
        return RunApp(app, std::move(args), response, code);
    }

    SRun RunApp(CFlashApp& app, std::vector<std::string> args, int response, std::int32_t code)
    {
        std::vector<std::string> storage = {"OrvoHIDFlash.exe"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : storage)
            argv.push_back(s.data());

        SRun run;
        app.SetCommandLine(static_cast<int>(argv.size()), argv.data());
        app.SetSingleInstanceName(m_lockName);
        app.SetDialogFactory([&] { return std::make_unique<CFakeDialog>(m_dialog, response, code); });
        app.SetMessageBox([&](const char* text, std::uint32_t style) {
            run.messages.push_back(text);
            EXPECT_EQ(style, 0x1000u); // system-modal, OK only
        });
        EXPECT_FALSE(app.InitInstance());
        run.code = app.ExitInstance();
        run.logName = app.GetLogFileName();
        run.logKept = FileExists(run.logName);
        if (run.logKept)
            run.logBytes = ReadFileBytes(run.logName);
        return run;
    }

    std::string m_cwd;
    std::string m_folder;
    std::string m_lockName;
    SFakeDialogRecord m_dialog;
};
} // namespace

TEST_F(FlashAppTest, LogFileIsNamedAfterTheStartTime)
{
    SLocalTime t;
    t.year = 2015;
    t.month = 11;
    t.day = 24;
    t.hour = 16;
    t.minute = 49;
    t.second = 14;
    EXPECT_EQ(CFlashApp::LogFileNameFor(t), "Upgrade-20151124-164914.log");
}

namespace
{
SLocalTime TheStartTime()
{
    SLocalTime t;
    t.year = 2015;
    t.month = 11;
    t.day = 24;
    t.hour = 16;
    t.minute = 49;
    t.second = 14;
    return t;
}

// A folder this process cannot create files in, whatever its rights (root
// included: permission bits would not stop it): the kernel's /proc. Empty
// when the platform has none.
std::string UnwritableFolder()
{
#ifdef _WIN32
    const std::string folder = "Z:\\proc";
#else
    const std::string folder = "/proc";
#endif
    const std::string probe = JoinPath(folder, "orvo-probe.log");
    if (WriteFileBytes(probe, "x"))
    {
        DeleteFilePath(probe);
        return {};
    }
    return folder;
}
} // namespace

// Production runs in one folder may start in the same second: a file of the
// run's name belongs to another run and is never opened, appended to or
// deleted; the run takes the next free name of the same format.
TEST_F(FlashAppTest, AnotherRunsLogOfTheSameSecondIsNeverTouched)
{
    EXPECT_EQ(CFlashApp::LogFileNameFor(TheStartTime(), 1), "Upgrade-20151124-164914.log");
    EXPECT_EQ(CFlashApp::LogFileNameFor(TheStartTime(), 2), "Upgrade-20151124-164914-2.log");
    const std::string other = "[24/11/2015 16:49:14:001] another run's log\r\n";
    ASSERT_TRUE(WriteFileBytes(JoinPath(m_folder, "Upgrade-20151124-164914.log"), other));

    SRun failed;
    {
        CFlashApp app(TheStartTime(), CFlashApp::SLogFolders{m_folder, nullptr});
        failed = RunApp(app, {"/S", "/Ustation-1"}, 2, static_cast<std::int32_t>(0x80000007u));
    }
    EXPECT_EQ(failed.logName, JoinPath(m_folder, "Upgrade-20151124-164914-2.log"));
    ASSERT_TRUE(failed.logKept);
    EXPECT_NE(failed.logBytes.find("] CFlashApp::ExitInstance - code[0x80000007] success[0]\r\n"), std::string::npos);

    SRun succeeded;
    {
        CFlashApp app(TheStartTime(), CFlashApp::SLogFolders{m_folder, nullptr});
        succeeded = RunApp(app, {"/S", "/Ustation-2"}, 8, 0);
    }
    EXPECT_EQ(succeeded.logName, JoinPath(m_folder, "Upgrade-20151124-164914-3.log"));
    EXPECT_FALSE(succeeded.logKept);

    // The other runs' logs are as they were.
    EXPECT_EQ(ReadFileBytes(JoinPath(m_folder, "Upgrade-20151124-164914.log")), other);
    EXPECT_EQ(ReadFileBytes(JoinPath(m_folder, "Upgrade-20151124-164914-2.log")), failed.logBytes);
}

// A working directory that cannot take the log (Program Files, a read-only
// share; here /proc, which not even root may write): the log goes to the
// user's local application-data folder and a failure says where.
TEST_F(FlashAppTest, WorkingDirectoryThatCannotTakeTheLogSendsItToTheUsersFolder)
{
    const std::string unwritable = UnwritableFolder();
    if (unwritable.empty())
        GTEST_SKIP() << "no folder here refuses new files";
    const std::string appData = JoinPath(m_folder, "appdata");
    ASSERT_TRUE(CreateDirectories(appData));
    const CFlashApp::SLogFolders folders{unwritable, [appData](std::wstring* folder) {
                                             *folder = NarrowToWidePath(appData);
                                             return HR_OK;
                                         }};

    SRun failed;
    std::string note;
    {
        CFlashApp app(TheStartTime(), folders);
        failed = RunApp(app, {}, 1, static_cast<std::int32_t>(0x80000007u));
        note = app.LogLocationNote();
        EXPECT_FALSE(app.IsLogInWorkingDirectory());
    }
    const std::string expected = JoinPath(appData, "Upgrade-20151124-164914.log");
    EXPECT_EQ(failed.logName, expected);
    ASSERT_TRUE(failed.logKept);
    EXPECT_NE(failed.logBytes.find("the working directory cannot take the log"), std::string::npos) << failed.logBytes;
    EXPECT_EQ(note, "The diagnostic log is in " + expected);
    EXPECT_EQ(m_dialog.settings.logNote, note); // the dialog shows it with the failure

    SRun succeeded;
    {
        CFlashApp app(TheStartTime(), folders);
        succeeded = RunApp(app, {}, 8, 0);
    }
    EXPECT_EQ(succeeded.logName, JoinPath(appData, "Upgrade-20151124-164914-2.log"));
    EXPECT_FALSE(succeeded.logKept);
    EXPECT_EQ(ListFolder(appData), std::vector<std::string>{"Upgrade-20151124-164914.log"});

    // No folder takes it: the run goes on without a log and says so.
    {
        CFlashApp app(TheStartTime(), CFlashApp::SLogFolders{unwritable, nullptr});
        const SRun run = RunApp(app, {}, 1, static_cast<std::int32_t>(0x80000007u));
        EXPECT_EQ(run.code, static_cast<std::int32_t>(0x80000007u));
        EXPECT_TRUE(run.logName.empty());
        EXPECT_EQ(app.LogLocationNote(), "No diagnostic log could be written.");
    }
}

TEST_F(FlashAppTest, FailedRunKeepsItsLogWithTheOutcomeLines)
{
    const SRun run = Run({"/S", "I0x1234"}, 2, static_cast<std::int32_t>(0x80000001u));
    EXPECT_EQ(static_cast<std::uint32_t>(run.code), 0x80000001u);
    ASSERT_TRUE(run.logKept);
    EXPECT_TRUE(std::regex_match(run.logName, std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")));
    for (const char* line : {"] Start of Log - Utility Version 1.1.151124.164914\r\n",
                             "] CFlashApp::InitInstance\r\n", "] ParseParam - lpszParam [S]\r\n",
                             "] ParseParam S - SilentMode [1]\r\n", "] ParseParam I - ProductID [0x1234]\r\n",
                             "] CFlashApp::InitInstance -> ProductionCMDLine[(null)]\r\n",
                             "] Cancel with Return  Code = 0x80000001\r\n", "] CFlashApp::InitInstance - Done\r\n",
                             "] CFlashApp::ExitInstance - code[0x80000001] success[0]\r\n", "] End of Log\r\n"})
        EXPECT_NE(run.logBytes.find(line), std::string::npos) << line << "\n" << run.logBytes;
    EXPECT_TRUE(m_dialog.ran);
    EXPECT_TRUE(m_dialog.settings.SilentMode);
    EXPECT_EQ(m_dialog.settings.ProductID, 0x1234);
}

TEST_F(FlashAppTest, EveryModalResultHasItsLogLine)
{
    struct
    {
        int response;
        std::int32_t code;
        const char* line;
    } cases[] = {
        {1, static_cast<std::int32_t>(0x80000007u), "] OK with Return Code = 0x80000007\r\n"},
        {3, static_cast<std::int32_t>(0x8000000Bu), "] Abort with Error Code = 0x8000000b\r\n"},
        {8, static_cast<std::int32_t>(0x80000008u), "] Complete with Return Code = 0x80000008\r\n"},
        {5, static_cast<std::int32_t>(0x80000006u), "] nResponse 5. Complete with Return Code = 0x80000006\r\n"},
    };
    for (const auto& c : cases)
    {
        const SRun run = Run({}, c.response, c.code);
        EXPECT_EQ(run.code, c.code);
        ASSERT_TRUE(run.logKept);
        EXPECT_NE(run.logBytes.find(c.line), std::string::npos) << c.line;
        DeleteFilePath(run.logName);
    }
}

TEST_F(FlashAppTest, SuccessfulRunsLeaveNoLog)
{
    for (std::int32_t code : {0, 1, 2, 4})
    {
        const SRun run = Run({"S"}, 8, code);
        EXPECT_EQ(run.code, code);
        EXPECT_FALSE(run.logKept) << code;
    }
    EXPECT_TRUE(ListFolder(m_folder).empty());
}

TEST_F(FlashAppTest, SecondInstanceIsRefusedUnlessProduction)
{
    CSingleInstanceLock first;
    ASSERT_EQ(first.Create(m_lockName), CSingleInstanceLock::EResult::Created);

    const SRun refused = Run({"/S"}, 2, static_cast<std::int32_t>(0x80000001u));
    EXPECT_FALSE(m_dialog.ran);
    EXPECT_EQ(refused.code, 0);
    ASSERT_EQ(refused.messages.size(), 1u);
    EXPECT_EQ(refused.messages[0], "Another instance of this program is already running.");
    EXPECT_FALSE(refused.logKept);

    const SRun production = Run({"/S", "Uline-7"}, 2, static_cast<std::int32_t>(0x80000001u));
    EXPECT_TRUE(m_dialog.ran);
    EXPECT_TRUE(production.messages.empty());
    EXPECT_NE(production.logBytes.find("] CFlashApp::InitInstance -> ProductionCMDLine[Uline-7]\r\n"),
              std::string::npos);
}

// The tests' own lock name: a running copy of the program (or another test
// holding the product's lock) changes nothing here.
TEST_F(FlashAppTest, ProductLockHeldElsewhereDoesNotChangeTheRun)
{
    CSingleInstanceLock product;
    product.Create(kSingleInstanceMutexName); // may already be held by a running copy: either way
    const SRun run = Run({"/S"}, 2, static_cast<std::int32_t>(0x80000001u));
    EXPECT_TRUE(m_dialog.ran);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(run.code, static_cast<std::int32_t>(0x80000001u));
}
