#include "resources/StringTable.h"

namespace
{
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

const SStringEntry* GetStringTable(unsigned* count)
{
    if (count != nullptr)
        *count = static_cast<unsigned>(sizeof kStrings / sizeof kStrings[0]);
    return kStrings;
}
