#include "bcsp/BCSP_DFUDownload.h"

HResult DownloadDFUImage(CBCSP_DFUUpgrade& dfu, const std::uint8_t* image, std::size_t size,
                         const SDFUDownloadHooks* hooks)
{
    if (image == nullptr && size > 0)
        return HR_INVALIDARG;
    HResult hr = dfu.BeginDFUUpgrade();
    if (IsFailure(hr))
    {
        // Every way out leaves the transport unlinked, so that the caller may
        // close it at once.
        dfu.AbortDFUUpgrade();
        return hr;
    }
    if (hooks != nullptr && hooks->onBegun)
        hooks->onBegun();
    const std::size_t blockSize = dfu.GetMaxTransferSize();
    if (blockSize == 0 && size > 0)
    {
        dfu.AbortDFUUpgrade();
        return HR_FAIL;
    }
    std::uint16_t block = 0;
    for (std::size_t offset = 0; offset < size; offset += blockSize)
    {
        const std::size_t n = size - offset < blockSize ? size - offset : blockSize;
        hr = dfu.WriteDFUPacket(block, image + offset, static_cast<std::uint32_t>(n));
        if (IsFailure(hr))
        {
            dfu.AbortDFUUpgrade();
            return hr;
        }
        ++block;
        if (hooks != nullptr && hooks->onProgress)
            hooks->onProgress(offset + n, size);
    }
    if (hooks != nullptr && hooks->onBeforeEnd)
        hooks->onBeforeEnd();
    return dfu.EndDFUUpgrade(block);
}
