#pragma once
// Message boxes shown outside of any dialog view (start-up). Style bits are
// those of the Win32 MessageBox. Windows: a real message box with an empty
// caption. Linux: the text on standard error.

#include <cstdint>

constexpr std::uint32_t kMbOk = 0x00000000u;
constexpr std::uint32_t kMbIconError = 0x00000010u;
constexpr std::uint32_t kMbIconExclamation = 0x00000030u;
constexpr std::uint32_t kMbIconInformation = 0x00000040u;
constexpr std::uint32_t kMbSystemModal = 0x00001000u;

void ShowSystemMessageBox(const char* text, std::uint32_t style);
