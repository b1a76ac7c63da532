#pragma once
// The program's user-visible texts, by number.

#include <cstdint>

// The text of string id, or "" when the table has no such string.
const char* LoadResourceString(unsigned id);

// Numbers of the strings used by the code.
enum : unsigned
{
    IDS_ANOTHER_INSTANCE = 121,
};
