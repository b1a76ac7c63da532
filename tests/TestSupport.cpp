#include "tests/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/Clock.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace
{
std::string& TestProgramName()
{
    static std::string name = "tests";
    return name;
}

// The build tree's test folder, as this system names it (under wine the
// Unix root is drive Z:).
fs::path TestTmpRoot()
{
    std::string root = ORVO_TEST_TMP_ROOT;
#ifdef _WIN32
    if (!root.empty() && root[0] == '/')
    {
        for (char& c : root)
            c = c == '/' ? '\\' : c;
        root = "Z:" + root;
    }
#endif
    return fs::path(root);
}
} // namespace

void SetTestProgramName(const char* argv0)
{
    if (argv0 == nullptr || *argv0 == '\0')
        return;
    std::string name = fs::path(argv0).stem().string();
    if (!name.empty())
        TestProgramName() = name;
}

std::string UniqueTestLockName(const std::string& what)
{
    std::random_device random;
    const std::string name = "orvo-test-" + TestProgramName() + "-" + what + "-" + std::to_string(random()) + "-" +
                             std::to_string(random());
#ifdef _WIN32
    return "Local\\" + name;
#else
    return name;
#endif
}

std::string MakeTestFolder(const std::string& name)
{
    const fs::path folder = TestTmpRoot() / TestProgramName() / name;
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    return folder.string();
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::string> ListFolder(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string JoinPath(const std::string& a, const std::string& b)
{
    return a + PathSeparator() + b;
}

std::string HostPath(std::string path)
{
#ifdef _WIN32
    if (!path.empty() && path[0] == '/')
    {
        for (char& c : path)
            c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
#endif
    return path;
}

std::uint32_t ExitStatusOf(std::uint32_t code)
{
    return static_cast<std::uint32_t>(ToProcessExitStatus(static_cast<std::int32_t>(code)));
}

std::uint32_t RealSeconds(double seconds)
{
    const double ms = seconds * 1000.0 / CClock::GetTimeScale();
    return ms >= 4.0e9 ? kInfinite - 1 : static_cast<std::uint32_t>(ms);
}
