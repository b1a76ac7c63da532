// Linux: the user, the group, the udev rules and udevd.
#include "platform/DeviceAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace
{
bool Exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}
} // namespace

SDeviceAccessFacts GetDeviceAccessFacts(const std::vector<std::string>& rulesFileNames, const std::string& group)
{
    SDeviceAccessFacts facts;
    facts.known = true;
    const uid_t uid = ::geteuid();
    facts.root = uid == 0;
    gid_t primary = static_cast<gid_t>(-1);
    std::vector<char> buffer(16384);
    passwd pw;
    passwd* pwResult = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &pwResult) == 0 && pwResult != nullptr)
    {
        facts.user = pw.pw_name != nullptr ? pw.pw_name : "";
        primary = pw.pw_gid;
    }
    std::vector<char> groupBuffer(65536);
    struct group gr;
    struct group* grResult = nullptr;
    if (::getgrnam_r(group.c_str(), &gr, groupBuffer.data(), groupBuffer.size(), &grResult) == 0 && grResult != nullptr)
    {
        facts.groupExists = true;
        facts.memberOfGroup = primary == gr.gr_gid;
        for (char** member = gr.gr_mem; member != nullptr && *member != nullptr && !facts.memberOfGroup; ++member)
            facts.memberOfGroup = facts.user == *member;
        facts.processInGroup = ::getegid() == gr.gr_gid;
        const int count = ::getgroups(0, nullptr);
        if (count > 0)
        {
            std::vector<gid_t> groups(static_cast<std::size_t>(count));
            const int got = ::getgroups(count, groups.data());
            for (int i = 0; i < got && !facts.processInGroup; ++i)
                facts.processInGroup = groups[static_cast<std::size_t>(i)] == gr.gr_gid;
        }
    }
    for (const char* folder : {"/etc/udev/rules.d/", "/run/udev/rules.d/", "/usr/lib/udev/rules.d/", "/lib/udev/rules.d/"})
    {
        for (const std::string& name : rulesFileNames)
        {
            if (facts.rulesPath.empty() && Exists(folder + name))
                facts.rulesPath = folder + name;
        }
    }
    facts.udevRunning = Exists("/run/udev/control");
    return facts;
}
