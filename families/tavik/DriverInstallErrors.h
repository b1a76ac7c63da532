#pragma once
// The exit code of the driver tool in words, for the log: the tool returns
// the system's error of a failed installation (Windows: SetupAPI, the trust
// provider and Win32 errors; Linux: errno values), which says why Windows
// refused a driver package (no catalog, untrusted publisher, hash mismatch).
// Portable: the numbers are fixed by the systems, no header is needed.

#include <cstdint>

// Words for a nonzero exit code; a general text for codes it does not know.
const char* DriverInstallErrorText(std::uint32_t exitCode);
