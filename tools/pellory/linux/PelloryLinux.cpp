// Linux driver installation: the driver package named by /INF: is a udev
// rules file granting the user at the seat and the group plugdev access to
// the device; it must hold a rule for the identifier. Every *.rules file of
// its folder (the package: the program's rules for all its devices) is put
// in place: one that the orvohidflash package installed (in
// /usr/lib/udev/rules.d) is in place already; any other is copied into
// /etc/udev/rules.d (or $ORVO_PELLORY_RULES_DIR, which tests use; udev is then
// left alone) under a name of its own ("70-orvo-tavik-pellory.rules"), so the
// copy never masks the package's file of the same name, and with a first line
// by which the package's maintainer scripts remove it. Then udev is told to
// reload its rules. A copy already in place is not written again, so a tool
// that runs again asks nobody for a password. A user without the rights to
// write there is asked through polkit (pkexec runs this program again as
// root); when that fails too the tool says so and prints the command that
// does it as root, quoted for a shell.
#include "tools/pellory/linux/PelloryLinux.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Runs argv and waits; the exit status, or -1 when it could not be run.
int RunAndWait(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0)
    {
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
    {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FindProgram(std::initializer_list<const char*> candidates)
{
    for (const char* c : candidates)
    {
        if (::access(c, X_OK) == 0)
            return c;
    }
    return {};
}

std::string SelfPath()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return {};
    path[n] = '\0';
    return path;
}

// The *.rules files of a folder, sorted.
std::vector<std::string> RulesFilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name.size() > 6 && name.compare(name.size() - 6, 6, ".rules") == 0)
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsAccessError(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

std::string Hex4(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", v & 0xFFFFu);
    return text;
}
} // namespace

const char kPelloryRulesMarker[] =
    "# Installed by pellory, the driver tool of orvohidflash; the orvohidflash package removes it.\n";

SPelloryLinuxSystem SPelloryLinuxSystem::Real()
{
    SPelloryLinuxSystem system;
    system.isRoot = [] { return ::geteuid() == 0; };
    system.run = RunAndWait;
    system.writeFile = WriteFileAtomically;
    system.report = [](const std::string& text) { std::fprintf(stderr, "pellory: %s\n", text.c_str()); };
    system.selfPath = SelfPath();
    system.pkexecPath = FindProgram({"/usr/bin/pkexec", "/bin/pkexec"});
    system.packagedRulesDirs = {"/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
    // Tests point the tool at folders of their own.
    if (const char* packaged = std::getenv("ORVO_PELLORY_PACKAGED_RULES_DIR"); packaged != nullptr && *packaged != '\0')
        system.packagedRulesDirs = {packaged};
    return system;
}

CPelloryLinuxInstaller::CPelloryLinuxInstaller() : m_system(SPelloryLinuxSystem::Real())
{
}

CPelloryLinuxInstaller::CPelloryLinuxInstaller(SPelloryLinuxSystem system) : m_system(std::move(system))
{
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

    // The whole package: every rules file beside the named one.
    const std::size_t slash = package.find_last_of('/');
    const std::string packageFolder = slash == std::string::npos ? std::string(".") : package.substr(0, slash);
    const std::string packageName = slash == std::string::npos ? package : package.substr(slash + 1);
    std::vector<std::pair<std::string, std::string>> files; // package file name, contents
    files.emplace_back(packageName, rules);
    for (const std::string& name : RulesFilesIn(packageFolder))
    {
        if (name == packageName)
            continue;
        std::string bytes;
        error = ReadSmallFile(packageFolder + "/" + name, &bytes);
        if (error != 0)
            return error;
        files.emplace_back(name, bytes);
    }
    std::vector<std::pair<std::string, std::string>> copies; // path in the folder, contents
    for (const auto& [name, bytes] : files)
    {
        std::string installed;
        for (const std::string& dir : m_system.packagedRulesDirs)
        {
            struct stat packaged;
            if (installed.empty() && ::stat((dir + "/" + name).c_str(), &packaged) == 0)
                installed = dir + "/" + name;
        }
        if (!installed.empty())
        {
            // The package's own file applies; a copy would only outlive it.
            m_system.report(installed + " is installed by the orvohidflash package: in place");
            continue;
        }
        const std::string path = folder + "/" + PelloryRulesCopyName(name);
        const std::string contents = std::string(kPelloryRulesMarker) + bytes;
        std::string present;
        if (ReadSmallFile(path, &present) == 0 && present == contents)
            continue; // copied before: nothing to write, nobody to ask
        copies.emplace_back(path, contents);
    }
    if (copies.empty())
        m_system.report("the udev rules are in place: nothing to install");
    for (const auto& copy : copies)
    {
        error = m_system.writeFile(copy.first, copy.second);
        if (error != 0)
            break;
    }
    if (IsAccessError(error) && !m_system.isRoot())
    {
        // Not ours to write: polkit asks the user for the administrator's
        // password and runs this program again as root.
        const std::string tool = m_system.selfPath.empty() ? std::string("pellory") : m_system.selfPath;
        if (!m_system.pkexecPath.empty() && !m_system.selfPath.empty())
        {
            m_system.report("installing the udev rules into " + folder + " needs root rights; asking through polkit");
            const int status = m_system.run({m_system.pkexecPath, m_system.selfPath, "/INF:" + package,
                                             "/ID:" + TrimRight(args.hardwareId)});
            if (status == 0)
                return 0;
            // pkexec: 126 refused or dismissed, 127 not authorised or failed.
            m_system.report("polkit did not install the rules (pkexec exit status " + std::to_string(status) + ")");
        }
        m_system.report("cannot write the udev rules into " + folder + " (" + std::strerror(error) +
                        "). Install the orvohidflash package, which ships them, or run as root: " +
                        PelloryRootCommand(tool, package, TrimRight(args.hardwareId)));
        return EACCES;
    }
    if (error != 0)
    {
        m_system.report("cannot write the udev rules into " + folder + ": " + std::strerror(error));
        return error;
    }
    // udev applies rules to devices as they come; root also has the ones
    // already plugged in looked at again (a user cannot).
    if (systemFolder && (!copies.empty() || m_system.isRoot()))
    {
        const std::string udevadm = FindProgram({"/usr/bin/udevadm", "/bin/udevadm", "/sbin/udevadm", "/usr/sbin/udevadm"});
        if (!udevadm.empty())
        {
            // Outcomes not examined: the rules are in place either way (udev may not run).
            m_system.run({udevadm, "control", "--reload-rules"});
            m_system.run({udevadm, "trigger", "--action=change", "--subsystem-match=usb", "--subsystem-match=hidraw"});
        }
    }
    return 0;
}
