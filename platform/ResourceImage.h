#pragma once
// Binary resources the program carries (the embedded firmware image).
//
// Windows: RCDATA resources of the program (FindResource/LoadResource), then
// registered data. Linux: data linked into the program, which registers
// itself before main runs (resources/embed_resource.py generates it).
// Any thread may call it; the bytes stay valid for the process's lifetime.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

// Registered resources: data with static storage duration known under a
// resource name. Registration is safe during static initialisation (the
// registry is built on first use) and from any thread; a later registration
// of the same name wins.
namespace resource_detail
{
struct SEntry
{
    std::string name;
    SResourceData data;
};
struct SRegistry
{
    std::mutex mutex;
    std::vector<SEntry> entries;
};
inline SRegistry& Registry()
{
    static SRegistry registry;
    return registry;
}
} // namespace resource_detail

inline void RegisterEmbeddedResource(const char* name, const std::uint8_t* data, std::uint32_t size)
{
    if (name == nullptr)
        return;
    resource_detail::SRegistry& registry = resource_detail::Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (resource_detail::SEntry& entry : registry.entries)
    {
        if (entry.name == name)
        {
            entry.data = {data, size};
            return;
        }
    }
    registry.entries.push_back({name, {data, size}});
}

// The registered data of that name; false when none was registered.
inline bool FindEmbeddedResource(const std::string& name, SResourceData* out)
{
    resource_detail::SRegistry& registry = resource_detail::Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const resource_detail::SEntry& entry : registry.entries)
    {
        if (entry.name == name)
        {
            *out = entry.data;
            return true;
        }
    }
    return false;
}
