#include "resources/StringTable.h"

namespace
{
struct SStringEntry
{
    unsigned id;
    const char* text;
};

constexpr SStringEntry kStrings[] = {
#define ORVO_STRING(id, text) {id, text},
#include "resources/Strings.def"
#undef ORVO_STRING
};
} // namespace

const char* LoadResourceString(unsigned id)
{
    for (const SStringEntry& entry : kStrings)
    {
        if (entry.id == id)
            return entry.text;
    }
    return "";
}
