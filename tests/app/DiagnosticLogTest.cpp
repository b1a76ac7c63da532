#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <vector>

#include "app/DiagnosticLog.h"
#include "platform/Thread.h"
#include "tests/TestSupport.h"

namespace
{
// One line of the file, split at the CR LF that the record format writes.
std::vector<std::string> SplitRecords(const std::string& bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
        {
            if (start < bytes.size())
                lines.push_back(bytes.substr(start));
            return lines;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
}

const std::regex kStamp(R"(^\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d{3}\] )");

class DiagnosticLogTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_path = JoinPath(MakeTestFolder(testing::UnitTest::GetInstance()->current_test_info()->name()), "test.log");
    }
    void TearDown() override { CloseLog(); }
    std::string m_path;
};
} // namespace

TEST(LogRecordTest, RecordFormatAndDiskBytes)
{
    SLocalTime t;
    t.year = 2026;
    t.month = 3;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 4;
    t.millisecond = 12;
    EXPECT_EQ(FormatLogRecord(t, "abc"), "[07/03/2026 09:05:04:012] abc\r\n");
    // Every LF reaches the disk as CR LF, also the one of the record's own CR LF.
    EXPECT_EQ(ToDiskBytes("[x] abc\r\n"), "[x] abc\r\r\n");
    // A message ending in LF gives LF CR LF: an empty line after it.
    EXPECT_EQ(ToDiskBytes("[x] abc\n\r\n"), "[x] abc\r\n\r\r\n");
}

TEST_F(DiagnosticLogTest, FirstLineNamesTheVersionAndRecordsAreStamped)
{
    ASSERT_EQ(OpenLog(m_path.c_str()), HR_OK);
    LogPrintf("value %d and %s\n", 42, "text");
    LogPrintf("no newline");
    CloseLog();

    const std::string bytes = ReadFileBytes(m_path);
    const std::vector<std::string> lines = SplitRecords(bytes);
    ASSERT_EQ(lines.size(), 5u) << bytes;
    EXPECT_TRUE(std::regex_search(lines[0], kStamp));
    EXPECT_EQ(std::regex_replace(lines[0], kStamp, ""), "Start of Log - Utility Version 1.1.151124.164914");
    EXPECT_EQ(lines[1], "\r"); // the empty line after a message that ends in LF
    EXPECT_EQ(std::regex_replace(lines[2], kStamp, ""), "value 42 and text");
    EXPECT_EQ(lines[3], "\r");
    EXPECT_EQ(std::regex_replace(lines[4], kStamp, ""), "no newline\r");
    // No bare LF anywhere in the file.
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        if (bytes[i] == '\n')
        {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
        }
    }
}

TEST_F(DiagnosticLogTest, LongMessagesAreCutWithoutTheClosingLineEnd)
{
    ASSERT_EQ(OpenLog(m_path.c_str()), HR_OK);
    LogPrintf("%s", std::string(5000, 'x').c_str());
    LogPrintf("after\n");
    CloseLog();

    const std::string bytes = ReadFileBytes(m_path);
    const std::size_t start = bytes.find("] xxx");
    ASSERT_NE(start, std::string::npos);
    const std::size_t recordStart = bytes.rfind('[', start);
    const std::size_t next = bytes.find('[', start);
    ASSERT_NE(next, std::string::npos);
    // The record is cut at 4,095 characters; no CR LF separates it from the next one.
    EXPECT_EQ(next - recordStart, 4095u);
    EXPECT_EQ(bytes[next - 1], 'x');
    EXPECT_NE(bytes.find("] after\r\n\r\r\n", next), std::string::npos);
}

TEST_F(DiagnosticLogTest, LinesFromManyThreadsArriveWholeAndInOrder)
{
    ASSERT_EQ(OpenLog(m_path.c_str()), HR_OK);
    constexpr int kThreads = 6;
    constexpr int kLines = 400;
    std::vector<std::unique_ptr<CThread>> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.push_back(std::make_unique<CThread>());
        ASSERT_TRUE(threads.back()->Start([t] {
            for (int i = 0; i < kLines; ++i)
                LogPrintf("thread %d line %d %s", t, i, "payload-payload-payload");
            return 0u;
        }));
    }
    for (auto& thread : threads)
        thread->Wait(kInfinite);
    LogPrintf("last line before close");
    CloseLog();

    const std::vector<std::string> lines = SplitRecords(ReadFileBytes(m_path));
    std::vector<int> next(kThreads, 0);
    int total = 0;
    const std::regex line(R"(^thread (\d) line (\d+) payload-payload-payload\r$)");
    for (const std::string& l : lines)
    {
        const std::string text = std::regex_replace(l, kStamp, "");
        std::smatch m;
        if (!std::regex_match(text, m, line))
            continue;
        const int t = std::stoi(m[1]);
        ASSERT_EQ(std::stoi(m[2]), next[t]) << "thread " << t << " out of order or torn";
        ++next[t];
        ++total;
    }
    EXPECT_EQ(total, kThreads * kLines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::regex_replace(lines.back(), kStamp, ""), "last line before close\r");
}

TEST_F(DiagnosticLogTest, LoggingWithoutAnOpenLogNeitherBlocksNorWrites)
{
    LogPrintf("before open\n");
    ASSERT_EQ(OpenLog(m_path.c_str()), HR_OK);
    EXPECT_EQ(OpenLog("elsewhere.log"), HR_OK); // already open: nothing happens
    CloseLog();
    LogPrintf("after close\n");
    CloseLog(); // twice is harmless

    const std::string bytes = ReadFileBytes(m_path);
    EXPECT_EQ(bytes.find("before open"), std::string::npos);
    EXPECT_EQ(bytes.find("after close"), std::string::npos);
    EXPECT_FALSE(FileExists("elsewhere.log"));

    const std::string missing = JoinPath(JoinPath(MakeTestFolder("log-missing"), "no-such-folder"), "x.log");
    EXPECT_EQ(OpenLog(missing.c_str()), HR_FAIL);
    LogPrintf("into nothing\n");
    CloseLog();
}

TEST_F(DiagnosticLogTest, ReopensAfterClose)
{
    ASSERT_EQ(OpenLog(m_path.c_str()), HR_OK);
    LogPrintf("first\n");
    CloseLog();
    const std::string second = m_path + ".2";
    ASSERT_EQ(OpenLog(second.c_str()), HR_OK);
    LogPrintf("second\n");
    CloseLog();
    EXPECT_NE(ReadFileBytes(m_path).find("] first"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(m_path).find("] second"), std::string::npos);
    EXPECT_NE(ReadFileBytes(second).find("] second"), std::string::npos);
}
