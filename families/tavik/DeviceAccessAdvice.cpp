#include "families/tavik/DeviceAccessAdvice.h"

#include "tools/pellory/PelloryCommandLine.h"

namespace
{
const char kIndent[] = "    ";
const char kReplug[] = "then unplug the device and plug it in again.";
} // namespace

std::string DeviceAccessAdvice(const SAccessSubject& subject, const SDeviceAccessFacts& facts, EAccessRefusal refusal)
{
    std::string where;
    if (!subject.node.empty())
        where += " " + subject.node;
    if (!subject.location.empty())
        where += (where.empty() ? " at USB port " : ", USB port ") + subject.location;
    std::string text = "Access to " + subject.what + " is missing";
    if (refusal == EAccessRefusal::Busy)
        return text + ": another program or driver holds it" + (where.empty() ? "" : " (" + where.substr(1) + ")") +
               ".\nClose the programs that use it, " + kReplug;
    if (!facts.known)
        return text + ": the system refuses to open it" + (where.empty() ? "" : " (" + where.substr(1) + ")") +
               ".\nAnother program may hold it open: close it, " + kReplug;

    const std::string user = facts.user.empty() ? std::string("this user") : "the user " + facts.user;
    text += ": " + user + " may not open it (" + (where.empty() ? std::string() : where.substr(1) + ": ") +
            "permission denied).\n";
    const std::string group = subject.group;
    const std::string quotedUser = PelloryShellQuote(facts.user.empty() ? std::string("$USER") : facts.user);
    if (facts.root)
    {
        // Root is refused only by something beyond rules and groups.
        return text + "Even root is refused: a security policy or a read-only device node stands in the way.";
    }
    if (facts.rulesPath.empty())
    {
        text += "The udev rules that grant it (" + subject.rulesFile + ", to the group " + group +
                " and the user at the seat) are not installed. Install the orvohidflash package, which ships them";
        if (!subject.installCommand.empty())
            text += ", or install them as root:\n" + std::string(kIndent) + subject.installCommand + "\n";
        else
            text += ";\n";
        if (facts.groupExists && !facts.memberOfGroup && !facts.user.empty())
            text += "and add " + user + " to the group " + group + ":\n" + kIndent + "sudo usermod -aG " + group +
                    " " + quotedUser + "\nthen log in again, ";
        return text + kReplug;
    }
    if (!facts.udevRunning)
    {
        text += "No udev daemon runs on this system, so the rules " + facts.rulesPath +
                " do not apply. Run the program as root";
        if (!subject.node.empty())
            text += ", or give the device to the group " + group + " for as long as it stays plugged in:\n" + kIndent +
                    "sudo chgrp " + group + " " + PelloryShellQuote(subject.node) + " && sudo chmod 0660 " +
                    PelloryShellQuote(subject.node);
        return text + ".";
    }
    if (!facts.groupExists)
        return text + "The rules " + facts.rulesPath + " give it to the group " + group +
               ", which this system does not have. Create it and add " + user + " to it:\n" + kIndent +
               "sudo groupadd --system " + group + " && sudo usermod -aG " + group + " " + quotedUser +
               "\nthen log in again, " + kReplug;
    if (!facts.memberOfGroup)
        return text + "The rules " + facts.rulesPath + " give it to the group " + group + ". Add " + user +
               " to it:\n" + kIndent + "sudo usermod -aG " + group + " " + quotedUser + "\nthen log in again, " +
               kReplug;
    if (!facts.processInGroup)
        return text + "The rules " + facts.rulesPath + " give it to the group " + group + ", and " + user +
               " belongs to it, but not yet in this session: log in again (or run the program under \"sg " + group +
               "\"), " + kReplug;
    return text + "The rules " + facts.rulesPath + " give it to the group " + group + ", to which " + user +
           " belongs, but they did not apply to this device. Have udev apply them again:\n" + kIndent +
           "sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=usb "
           "--subsystem-match=hidraw\n" +
           kReplug;
}
