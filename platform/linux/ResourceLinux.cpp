// Linux: resources are data linked into the program, registered before main
// runs; a name nobody registered is "not found".
#include <cerrno>

#include "platform/ResourceImage.h"

namespace
{
class CLinkedResources : public IResourceProvider
{
public:
    EResourceResult FindRcData(const std::string& name, SResourceData* out, std::uint32_t* systemError) override
    {
        *out = SResourceData{};
        *systemError = 0;
        if (FindEmbeddedResource(name, out))
            return EResourceResult::Found;
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
