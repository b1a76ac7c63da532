#include "platform/MessageBox.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace
{
std::atomic<IMessageBoxOwner*> g_owner{nullptr};
}

IMessageBoxOwner* SetMessageBoxOwner(IMessageBoxOwner* owner)
{
    return g_owner.exchange(owner);
}

int ShowSystemMessageBox(const char* text, std::uint32_t style)
{
    if (IMessageBoxOwner* owner = g_owner.load())
        return owner->ShowOwnedMessageBox(text, style);
    return ShowUnownedMessageBox(text, style);
}

int ShowUnownedMessageBox(const char* text, std::uint32_t style)
{
    const char* kind = (style & 0xF0u) == kMbIconExclamation ? "Warning: "
                       : (style & 0xF0u) == kMbIconError    ? "Error: "
                                                            : "";
    std::fprintf(stderr, "%s%s\n", kind, text != nullptr ? text : "");
    // Only someone at a terminal can press OK. Without one the text is
    // printed, but nobody answered: a prompt must not count as confirmed.
    int answer = 0;
    if (isatty(STDIN_FILENO) != 0)
    {
        std::fprintf(stderr, "[OK: press Enter] ");
        std::fflush(stderr);
        int c = 0;
        while ((c = std::getchar()) != EOF && c != '\n')
        {
        }
        answer = c == '\n' ? 1 : 0;
        if (answer == 0)
            std::clearerr(stdin);
    }
    std::fflush(stderr);
    return answer;
}

bool UpdateDriverForDevices(const char*, const char*, bool* rebootRequired, std::uint32_t* error)
{
    if (rebootRequired != nullptr)
        *rebootRequired = false;
    if (error != nullptr)
        *error = ENOSYS;
    return false;
}

int ShowCaptionedMessageBox(const char* text, const char* caption, std::uint32_t style)
{
    if (caption != nullptr && caption[0] != '\0')
        std::fprintf(stderr, "%s: ", caption);
    return ShowSystemMessageBox(text, style);
}
