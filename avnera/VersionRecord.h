#pragma once
// The chip's version record: comma-separated text "version,name,build,path".
// Splits it into the version text (field 1 " (" field 3 ")", at most 31
// characters) and the name text (field 2 " (" the part of the record between
// its second-to-last '/' and its last character ")", at most 94 characters).
// Missing fields or slashes give empty parts; nothing is read outside
// record[0..length).

#include <cstddef>

namespace avnera
{
constexpr std::size_t kVersionTextSize = 32;
constexpr std::size_t kNameTextSize = 95;

void ParseVersionRecord(const char* record, std::size_t length, char version[kVersionTextSize],
                        char name[kNameTextSize]);
} // namespace avnera
