#include "platform/MessageBox.h"

#include <cstdio>

void ShowSystemMessageBox(const char* text, std::uint32_t style)
{
    const char* kind = (style & 0xF0u) == kMbIconExclamation ? "Warning: "
                       : (style & 0xF0u) == kMbIconError    ? "Error: "
                                                            : "";
    std::fprintf(stderr, "%s%s\n", kind, text != nullptr ? text : "");
    std::fflush(stderr);
}
