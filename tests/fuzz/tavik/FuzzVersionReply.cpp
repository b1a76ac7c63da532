// The Tavik version reply as a device might send it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "families/tavik/HidControl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string out = "unchanged";
    const int count = size > 256 ? 256 : static_cast<int>(size);
    if (ParseTavikVersionReply(data, count, &out))
    {
        if (out.empty() || out.size() > 16)
            __builtin_trap();
    }
    else if (out != "unchanged")
    {
        __builtin_trap(); // a refused reply leaves the text alone
    }
    return 0;
}
