// Benchmark of the diagnostic log with its writer running: the cost of one
// LogPrintf call on one thread (median and 99th percentile), the lines per
// second that eight threads get onto the disk, and the lines lost on the way
// (the file is read back and every line accounted for; must be 0).
//
// Prints its figures last, one "name value" a line:
//   log-append-median-us, log-append-p99-us, log-lines-per-s, log-lines-lost
// Exits nonzero when a line was lost or the log could not be written.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/DiagnosticLog.h"
#include "platform/System.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int kSingleCalls = 200000;
constexpr int kThreads = 8;
constexpr int kLinesPerThread = 125000;

double Micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Reads the log back and checks that every "t<T> n<N>" line is there once.
std::int64_t LostLines(const std::string& path, int threads, int lines)
{
    std::vector<std::vector<std::uint8_t>> seen(static_cast<std::size_t>(threads),
                                                std::vector<std::uint8_t>(static_cast<std::size_t>(lines), 0));
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::int64_t duplicates = 0;
    while (std::getline(in, line))
    {
        const std::size_t at = line.find("] load t");
        if (at == std::string::npos)
            continue;
        int t = -1;
        int n = -1;
        if (std::sscanf(line.c_str() + at, "] load t%d n%d", &t, &n) != 2 || t < 0 || t >= threads || n < 0 ||
            n >= lines)
            continue;
        std::uint8_t& mark = seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(n)];
        duplicates += mark;
        mark = 1;
    }
    std::int64_t missing = 0;
    for (const auto& row : seen)
        missing += std::count(row.begin(), row.end(), std::uint8_t{0});
    return missing + duplicates;
}
} // namespace

int main()
{
    const std::string folder = GetWorkingDirectory() + PathSeparator();
    const std::string singlePath = folder + "bench-log-append-1.log";
    const std::string loadPath = folder + "bench-log-append-8.log";

    // One thread: the cost a caller pays per line.
    if (IsFailure(OpenLog(singlePath.c_str())))
    {
        std::printf("cannot open %s\n", singlePath.c_str());
        return 1;
    }
    std::vector<double> costs;
    costs.reserve(kSingleCalls);
    for (int i = 0; i < kSingleCalls; ++i)
    {
        const Clock::time_point start = Clock::now();
        LogPrintf("CFirmwareUpgradeTavik::Progress - bytes[%d] of [%d]\n", i, kSingleCalls);
        costs.push_back(Micros(Clock::now() - start));
    }
    CloseLog();
    std::sort(costs.begin(), costs.end());
    const double median = costs[costs.size() / 2];
    const double p99 = costs[costs.size() * 99 / 100];

    // Eight threads: lines per second until every line is on the disk.
    if (IsFailure(OpenLog(loadPath.c_str())))
    {
        std::printf("cannot open %s\n", loadPath.c_str());
        return 1;
    }
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([t, &ready, &go] {
            ready.fetch_add(1);
            while (!go.load())
                std::this_thread::yield();
            for (int n = 0; n < kLinesPerThread; ++n)
                LogPrintf("load t%d n%d\n", t, n);
        });
    }
    while (ready.load() < kThreads)
        std::this_thread::yield();
    const Clock::time_point start = Clock::now();
    go.store(true);
    for (std::thread& th : threads)
        th.join();
    CloseLog(); // returns once every queued line is written
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double linesPerSecond = static_cast<double>(kThreads) * kLinesPerThread / seconds;
    const std::int64_t lost = LostLines(loadPath, kThreads, kLinesPerThread);
    DeleteFilePath(singlePath);
    DeleteFilePath(loadPath);

    std::printf("one thread: %d calls, median %.3f us, p99 %.3f us, max %.1f us\n", kSingleCalls, median, p99,
                costs.back());
    std::printf("%d threads: %d lines in %.3f s\n", kThreads, kThreads * kLinesPerThread, seconds);
    std::printf("log-append-median-us %.3f\n", median);
    std::printf("log-append-p99-us %.3f\n", p99);
    std::printf("log-lines-per-s %.0f\n", linesPerSecond);
    std::printf("log-lines-lost %lld\n", static_cast<long long>(lost));
    return lost == 0 ? 0 : 1;
}
