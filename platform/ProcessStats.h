#pragma once
// Figures about the running process, for the bench programs and the soak:
// how much memory it has needed at most, and how many OS handles and threads
// it holds now (a run that leaks either shows as growth between two reads).
//
// Linux: VmHWM of /proc/self/status, the entries of /proc/self/fd and
// /proc/self/task. Windows: the peak working set (K32GetProcessMemoryInfo),
// GetProcessHandleCount and a thread snapshot of the process.
//
// Thread safety: may be called from any thread.

#include <cstdint>

struct SProcessStats
{
    std::uint64_t peakResidentKiB = 0; // peak resident set (working set) since the process started
    int openHandles = -1;              // file descriptors (Linux) or kernel handles (Windows) open now
    int threads = -1;                  // threads of the process now
};

// Fills what the system tells; false when any figure could not be read
// (that figure keeps its default).
bool GetProcessStats(SProcessStats* stats);
