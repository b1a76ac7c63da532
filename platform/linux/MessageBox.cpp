#include "platform/MessageBox.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

int ShowSystemMessageBox(const char* text, std::uint32_t style)
{
    const char* kind = (style & 0xF0u) == kMbIconExclamation ? "Warning: "
                       : (style & 0xF0u) == kMbIconError    ? "Error: "
                                                            : "";
    std::fprintf(stderr, "%s%s\n", kind, text != nullptr ? text : "");
    if (isatty(STDIN_FILENO) != 0)
    {
        std::fprintf(stderr, "[OK: press Enter] ");
        std::fflush(stderr);
        int c = 0;
        while ((c = std::getchar()) != EOF && c != '\n')
        {
        }
    }
    std::fflush(stderr);
    return 1;
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
