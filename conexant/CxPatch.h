#pragma once
// The process-wide state of S37 patch programming: the 8 KB shadow of the
// low addresses of the last file read, and the ignore-range table (at most
// ten ranges) that a later write or verification with option 0x20 leaves
// alone. One patch operation at a time per process.

#include <cstddef>
#include <cstdint>

#include "conexant/CxAudioTypes.h"

constexpr std::size_t kCxShadowSize = 8192;
constexpr std::size_t kCxIgnoreRangeLimit = 10;

struct SCxIgnoreRange
{
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t value;
};

// Appends {first, first + length - 1, value}; nothing when the table is full.
void CxIgnoreRange(std::uint32_t first, std::uint32_t length, std::uint32_t value);
std::size_t CxIgnoreRangeCount();
SCxIgnoreRange CxIgnoreRangeAt(std::size_t index);
// Whether [first, first + length - 1] overlaps a range of the table.
bool CxIgnoreRangesOverlap(std::uint32_t first, std::uint32_t length);
void CxClearPatchState();
const std::uint8_t* CxPatchShadow(); // kCxShadowSize bytes

// The analysis of an S37 file (or of lines in memory) without a chip: what
// MemoryPatch does with options 0 (the file checked whole and recognised,
// the ranges of its layout registered). 0, 26 (malformed, ends early,
// records that disagree), 30 (a CX20562 file that writes the EEPROM magic
// byte of memory type 0), 22, 23, 25 (file errors) or 10 (no lines).
int CxAnalyseS37(std::uint32_t memoryType, const char* fileName, const char* const* lines, std::uint32_t lineCount,
                 S37File* result);
