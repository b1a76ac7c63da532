#pragma once
// Binary resources the program carries (the embedded firmware image).
//
// Windows: RCDATA resources of the program (FindResource/LoadResource).
// Linux: data linked into the program; none are linked yet.
// Any thread may call it; the bytes stay valid for the process's lifetime.

#include <cstdint>
#include <string>

#include "platform/Types.h"

struct SResourceData
{
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

// Result of a look-up: Found, or which step failed with the system's error number.
enum class EResourceResult
{
    Found,
    NotFound,
    NotLoaded,
};

class IResourceProvider
{
public:
    virtual ~IResourceProvider() = default;
    // Finds the RCDATA resource of that name.
    virtual EResourceResult FindRcData(const std::string& name, SResourceData* out, std::uint32_t* systemError) = 0;
};

// The provider of this platform.
IResourceProvider& GetPlatformResourceProvider();
