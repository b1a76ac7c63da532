#pragma once
// The boot-image format of AV7300-based products: the flash part table, the
// header that ties an image to a part, the chain of files inside an image
// and the text image file (".ff": one line per byte, two hex digits each).
//
// Image layout (little-endian):
//   0..4   image header: size/page codes, sector code | address bytes << 4,
//          checksum, length L of the bootloader that follows at offset 5
//   5+L    file chain: 4-byte file headers (alignment flag | ID, size S,
//          checksum), each followed by S content bytes; the next header
//          lies 4 + S further on, rounded up to the sector size when the
//          alignment flag is set. The chain ends at the flash size.

#include <cstdint>
#include <string>

#include "platform/Types.h"

// Reads length bytes of the device's flash at offset into destination;
// true on success. context is the owner handed to the helper.
using AV7300ReadCallback = bool (*)(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination,
                                    void* context);

struct SAV7300FlashPart
{
    std::uint32_t memType; // 0 SPI serial flash, 1 I2C serial EEPROM
    std::uint32_t size;
    std::uint32_t page;
    std::uint32_t addressInfo; // SPI flash: address bytes; I2C EEPROM: addressing code
    std::uint32_t sector;      // 0: no sector erase
};

// The decoded 5-byte image header.
struct SAV7300ImageHeader
{
    std::uint32_t flashSize;
    std::uint32_t pageSize;
    std::uint32_t sectorSize;
    std::uint32_t addressBytes;
    std::uint32_t bootloaderLength;
    bool valid; // checksum
};

// A decoded 4-byte file header.
struct SAV7300FileHeader
{
    std::uint32_t id;
    bool aligned;
    std::uint32_t size;
    std::uint32_t checksum;
    bool valid;
};

class CAV7300CommonHelper
{
public:
    static constexpr std::uint32_t kPartRows = 36;
    static const SAV7300FlashPart kFlashParts[kPartRows];
    static constexpr std::uint32_t kPartSST25VF512A = 35;
    static constexpr std::uint32_t kPartDefaultImage = 31;

    static constexpr std::uint32_t kImageHeaderSize = 5;
    static constexpr std::uint32_t kFileHeaderSize = 4;
    static constexpr std::uint32_t kFileIdVersionImage = 5; // version file of the image file
    static constexpr std::uint32_t kFileIdSecondary = 12;
    static constexpr std::uint32_t kFileIdVersion = 16;
    static constexpr std::uint32_t kNoFreeSector = 0xFFFFFFFFu;

    CAV7300CommonHelper(std::uint32_t flashPart, AV7300ReadCallback readCallback, void* callbackContext);
    virtual ~CAV7300CommonHelper();
    CAV7300CommonHelper(const CAV7300CommonHelper&) = delete;
    CAV7300CommonHelper& operator=(const CAV7300CommonHelper&) = delete;

    // Converts the text image file into bytes and checks the whole image
    // (CheckImage) against the flash part; with flash part 0 (a memory the
    // chip could not name) against the part the image's own header names.
    // 0; 0x80004005 on null or zero arguments; 0x80070057 for an image that
    // does not fit the part, is cut short or corrupt, or a malformed line;
    // 0x8007000E when no memory. The image is allocated with new[] and
    // belongs to the caller; nothing is handed out on failure.
    virtual HResult PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* pRaw, std::uint32_t* pImageSize,
                                         std::uint8_t** ppImage);

    // The whole image, before anything is erased: its first three bytes are
    // the expected header of the part, it fits the part's memory, the
    // bootloader lies inside it, and the file chain holds up to its end:
    // every file header's checksum is right and its content lies inside the
    // image, and after the last file the image ends or holds only erased
    // bytes (0xFF). *pChainEnd (may be null): where the header after the
    // last file lies, rounded up to the sector for an aligned last file.
    // false with the reason in *pProblem (may be null).
    static bool CheckImage(std::uint32_t flashPart, const std::uint8_t* pImage, std::uint32_t imageSize,
                           std::uint32_t* pChainEnd, std::string* pProblem);

    // The part row an image's own header names (the SPI flash row whose
    // expected header equals its first three bytes); 0 when none.
    static std::uint32_t PartOfImage(const std::uint8_t* pImage, std::uint32_t imageSize);

    // The part the last accepted image was checked against (the flash part,
    // or the one the image named); 0 before any.
    std::uint32_t ImagePart() const { return m_imagePart; }

    // Walks the file chain in the device's flash through the read callback.
    // Found: *pOffset = the file header's flash offset. Not found after an
    // invalid file header: *pOffset = the next sector boundary at or after
    // it (the next free sector), or kNoFreeSector when that is not inside
    // the flash; a chain that runs to the end of the flash, an invalid
    // image header or a failed read also give kNoFreeSector.
    // *pChainEnd (may be null): where the invalid file header lies (the
    // chain ends there: a file written at the next free sector is reached
    // only when that is the same place); kNoFreeSector when there is none.
    bool FindFileInDeviceFWImage(std::uint32_t fileId, std::uint32_t* pOffset, std::uint32_t* pChainEnd = nullptr);

    // Walks the file chain in a host buffer (checksums not checked). Found:
    // *pOffset = the file header's offset in the image; the 4 header bytes
    // lie inside the image (the content may not: check S against the size).
    // File ID 0 gives *pOffset = 0 and not found.
    static bool FindFileInFWImage(std::uint32_t fileId, std::uint32_t* pOffset, std::uint32_t imageSize,
                                  const std::uint8_t* pImage);

    // The content of the file whose header lies at offset in the image (as
    // found by FindFileInFWImage): false unless header and all S content
    // bytes lie inside the image.
    static bool FileContentInFWImage(std::uint32_t offset, std::uint32_t imageSize, const std::uint8_t* pImage,
                                     const std::uint8_t** ppContent, std::uint32_t* pContentSize);

    // The last SPI flash row (18..35) with the given geometry; a table page
    // of 1 also matches a page of 2. 0 when none.
    static std::uint32_t LookupFlashPart(std::uint32_t flashSize, std::uint32_t pageSize, std::uint32_t sectorSize,
                                         std::uint32_t addressBytes);

    // The three leading header bytes an image for the part row must carry;
    // zeros for a row outside the table.
    static void ExpectedHeader(std::uint32_t flashPart, std::uint8_t header[3]);

    static SAV7300ImageHeader DecodeImageHeader(const std::uint8_t header[5]);
    static SAV7300FileHeader DecodeFileHeader(const std::uint8_t header[4]);

    // Version file content: the minor version is the value of the first
    // character when it is a digit, else 0.
    static std::uint32_t VersionFileMinor(const std::uint8_t* pContent, std::uint32_t size);
    // "1.<minor>.yymmdd" from the characters after the second comma; false
    // (and an empty string) when the content is too short to hold them.
    static bool VersionFileString(const std::uint8_t* pContent, std::uint32_t size, std::string* pVersion);

    std::uint32_t FlashPart() const { return m_flashPart; }

private:
    std::uint32_t m_flashPart;
    AV7300ReadCallback m_readCallback;
    void* m_callbackContext;
    std::uint32_t m_imagePart = 0;
};
