// Windows: RCDATA resources of the running program.
#include <windows.h>

#include "platform/ResourceImage.h"

namespace
{
class CWin32Resources : public IResourceProvider
{
public:
    EResourceResult FindRcData(const std::string& name, SResourceData* out, std::uint32_t* systemError) override
    {
        *out = SResourceData{};
        *systemError = 0;
        HRSRC info = FindResourceA(nullptr, name.c_str(), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
        if (info == nullptr)
        {
            *systemError = GetLastError();
            if (FindEmbeddedResource(name, out))
            {
                *systemError = 0;
                return EResourceResult::Found;
            }
            return EResourceResult::NotFound;
        }
        HGLOBAL loaded = LoadResource(nullptr, info);
        const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (bytes == nullptr)
        {
            *systemError = GetLastError();
            return EResourceResult::NotLoaded;
        }
        // Module resources stay mapped for the life of the process.
        out->data = static_cast<const std::uint8_t*>(bytes);
        out->size = SizeofResource(nullptr, info);
        return EResourceResult::Found;
    }
};
} // namespace

IResourceProvider& GetPlatformResourceProvider()
{
    static CWin32Resources provider;
    return provider;
}
