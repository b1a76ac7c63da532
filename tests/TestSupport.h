#pragma once
// Helpers shared by the tests.

#include <string>
#include <vector>

// A fresh, empty folder for one test in the build tree (never in the source
// tree, whatever the working directory): <build>/test-tmp/<program>/<name>.
std::string MakeTestFolder(const std::string& name);
// Called by the test main with argv[0]: the program's folder below test-tmp.
void SetTestProgramName(const char* argv0);

// A lock name no other process uses (not the product's single-instance
// name), so tests neither meet a running copy of the program nor each other.
std::string UniqueTestLockName(const std::string& what);

std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);

// Names of the files in a folder (not recursive).
std::vector<std::string> ListFolder(const std::string& path);

#include <cstdint>

// Product milliseconds that last about the given real seconds at the current
// time scale: for waits on other processes, which do not run scaled.
std::uint32_t RealSeconds(double seconds);

// Joins with the system's folder separator.
std::string JoinPath(const std::string& a, const std::string& b);

// A path the build names (a Unix path) as a program under test sees it: on
// Windows, where the tests run under wine, the Z: drive maps the Unix root.
std::string HostPath(std::string path);

// The process exit status a program ends with for a dialog return code.
std::uint32_t ExitStatusOf(std::uint32_t code);
