#pragma once
// Basic types shared by the portable core and the OS backends.
// Status values follow the HRESULT convention: 0 success, positive success
// with information, top bit set failure.

#include <cstddef>
#include <cstdint>

using HResult = std::int32_t;

constexpr HResult HR_OK = 0;
constexpr HResult HR_FAIL = static_cast<HResult>(0x80004005u);
constexpr HResult HR_INVALIDARG = static_cast<HResult>(0x80070057u);
constexpr HResult HR_BUFFER_TOO_SMALL = static_cast<HResult>(0x8007007Au);
constexpr HResult HR_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);

inline constexpr bool IsFailure(HResult hr) { return hr < 0; }

// Wait and time-out values are milliseconds of product time (see Clock.h).
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// printf-style format checking; mingw-w64 builds use the C99 printf family.
#if defined(__MINGW32__)
#define ORVO_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ORVO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
