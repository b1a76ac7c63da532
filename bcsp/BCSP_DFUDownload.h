#pragma once
// Downloads a whole image through the public operations of
// CBCSP_DFUUpgrade: BeginDFUUpgrade, one WriteDFUPacket per block of
// MaxTransferSize bytes (block numbers from 0), EndDFUUpgrade with the next
// number for the final, empty block.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "bcsp/BCSP_DFUUpgrade.h"
#include "platform/Types.h"

struct SDFUDownloadHooks
{
    // After BeginDFUUpgrade succeeded.
    std::function<void()> onBegun;
    // After each block: bytes sent so far, image size.
    std::function<void(std::size_t, std::size_t)> onProgress;
    // Before EndDFUUpgrade.
    std::function<void()> onBeforeEnd;
};

// 0 on success, 0x80004005 when a step failed (the first failing step ends
// the download), 0x80070057 for a null image with a non-zero size. On every
// return the transport is unlinked from the stack.
HResult DownloadDFUImage(CBCSP_DFUUpgrade& dfu, const std::uint8_t* image, std::size_t size,
                         const SDFUDownloadHooks* hooks = nullptr);
