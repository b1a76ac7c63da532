// Linux: resources are data linked into the program. No firmware image is
// linked into this build yet, so every look-up reports "not found".
#include <cerrno>

#include "platform/ResourceImage.h"

namespace
{
class CLinkedResources : public IResourceProvider
{
public:
    EResourceResult FindRcData(const std::string& name, SResourceData* out, std::uint32_t* systemError) override
    {
        if (out != nullptr)
            *out = SResourceData{};
        if (systemError != nullptr)
            *systemError = ENOENT;
        return EResourceResult::NotFound;
    }
};
} // namespace

IResourceProvider& GetPlatformResourceProvider()
{
    static CLinkedResources provider;
    return provider;
}
