// Linux driver installation: the driver package named by /INF: is a udev
// rules file granting the logged-in user access to the device. It is
// installed into /etc/udev/rules.d (or $ORVO_PELLORY_RULES_DIR, which tests
// use; udev is then left alone) and udev is told to reload its rules.
#include "tools/pellory/linux/PelloryLinux.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr std::size_t kMaxPackageSize = 64 * 1024;

std::string Lower(std::string text)
{
    for (char& c : text)
    {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string TrimRight(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

int ReadSmallFile(const std::string& path, std::string* bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    bytes->clear();
    char buffer[4096];
    int result = 0;
    for (;;)
    {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0)
        {
            if (errno == EINTR)
                continue;
            result = errno;
            break;
        }
        if (got == 0)
            break;
        if (bytes->size() + static_cast<std::size_t>(got) > kMaxPackageSize)
        {
            result = EFBIG;
            break;
        }
        bytes->append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return result;
}

int WriteFileAtomically(const std::string& path, const std::string& bytes)
{
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    std::size_t done = 0;
    int result = 0;
    while (done < bytes.size())
    {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            result = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (result == 0 && ::fsync(fd) != 0)
        result = errno;
    if (::close(fd) != 0 && result == 0)
        result = errno;
    if (result == 0 && ::fchmodat(AT_FDCWD, temp.c_str(), 0644, 0) != 0)
        result = errno;
    if (result == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        result = errno;
    if (result != 0)
        ::unlink(temp.c_str());
    return result;
}

// Runs udevadm with the arguments, when it is there; its outcome is not
// examined (the rules are in place either way; udev may not be running).
void RunUdevadm(const char* const* args)
{
    const char* candidates[] = {"/usr/bin/udevadm", "/bin/udevadm", "/sbin/udevadm", "/usr/sbin/udevadm"};
    const char* program = nullptr;
    for (const char* c : candidates)
    {
        if (::access(c, X_OK) == 0)
        {
            program = c;
            break;
        }
    }
    if (program == nullptr)
        return;
    const pid_t child = ::fork();
    if (child < 0)
        return;
    if (child == 0)
    {
        ::execv(program, const_cast<char* const*>(args));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
}

std::string Hex4(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", v & 0xFFFFu);
    return text;
}
} // namespace

std::string PelloryRulesFileName(const std::string& packagePath)
{
    const std::size_t slash = packagePath.find_last_of('/');
    std::string base = Lower(slash == std::string::npos ? packagePath : packagePath.substr(slash + 1));
    if (base.size() < 6 || base.compare(base.size() - 6, 6, ".rules") != 0)
        base += ".rules";
    // uaccess must be tagged before the seat rules (73-seat-late) run.
    return "70-" + base;
}

int CPelloryLinuxInstaller::Install(const SPelloryArguments& args)
{
    unsigned vendor = 0;
    unsigned product = 0;
    if (!ParseUsbHardwareId(TrimRight(args.hardwareId), &vendor, &product))
        return EINVAL;
    // The Windows call normalises the trailing blank and the case away;
    // Linux paths are case-sensitive, so the path is used as given.
    const std::string package = TrimRight(args.infPathAsGiven);
    if (package.empty())
        return EINVAL;
    std::string rules;
    int error = ReadSmallFile(package, &rules);
    if (error != 0)
        return error;
    // The package must be the one for this device.
    const std::string lower = Lower(rules);
    if (lower.find("idvendor}==\"" + Hex4(vendor) + "\"") == std::string::npos ||
        lower.find("idproduct}==\"" + Hex4(product) + "\"") == std::string::npos)
        return ENODEV;

    const char* overrideDir = std::getenv("ORVO_PELLORY_RULES_DIR");
    const bool systemFolder = overrideDir == nullptr || overrideDir[0] == '\0';
    const std::string folder = systemFolder ? std::string("/etc/udev/rules.d") : std::string(overrideDir);
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    error = WriteFileAtomically(folder + "/" + PelloryRulesFileName(package), rules);
    if (error != 0)
        return error;
    if (systemFolder)
    {
        const char* reload[] = {"udevadm", "control", "--reload-rules", nullptr};
        RunUdevadm(reload);
        const std::string vendorMatch = "--attr-match=idVendor=" + Hex4(vendor);
        const std::string productMatch = "--attr-match=idProduct=" + Hex4(product);
        const char* trigger[] = {"udevadm", "trigger", "--subsystem-match=usb", vendorMatch.c_str(),
                                 productMatch.c_str(), nullptr};
        RunUdevadm(trigger);
    }
    return 0;
}
