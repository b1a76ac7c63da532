#pragma once
// Records and status codes of the Conexant HID audio library.
//
// The records that callers receive (statistics, S37File, device identity)
// start with their own size so that a caller built against a shorter record
// gets exactly its size copied.

#include <cstddef>
#include <cstdint>

// Status codes; CxStatusText gives the library's message for each.
enum ECxStatus : int
{
    CXHID_STATUS_OK = 0,
    CXHID_STATUS_ABORTED = 1,
    CXHID_STATUS_SYSTEM_ERROR = 2,
    CXHID_STATUS_DEVICE_NOT_FOUND = 3,
    CXHID_STATUS_NO_MEMORY = 4,
    CXHID_STATUS_NOT_IMPLEMENTED = 5,
    CXHID_STATUS_NULL_POINTER = 6,
    CXHID_STATUS_INVALID_HANDLE = 7,
    CXHID_STATUS_INVALID_INTERFACE = 8,
    CXHID_STATUS_INVALID_DEVICE_TYPE = 9,
    CXHID_STATUS_INVALID_OPERATION = 10,
    CXHID_STATUS_INVALID_PARAMETER = 11,
    CXHID_STATUS_INVALID_MEMORY_TYPE = 12,
    CXHID_STATUS_INVALID_MEMORY_ACCESS = 13,
    CXHID_STATUS_INVALID_MEMORY_ADDRESS = 14,
    CXHID_STATUS_NULL_BUFFER = 15,
    CXHID_STATUS_ZERO_BUFFER_SIZE = 16,
    CXHID_STATUS_BUFFER_TOO_SMALL = 17,
    CXHID_STATUS_INVALID_BIT_FIELD = 18,
    CXHID_STATUS_INVALID_BIT_FIELD_VALUE = 19,
    CXHID_STATUS_DEVICE_READ_ERROR = 20,
    CXHID_STATUS_DEVICE_WRITE_ERROR = 21,
    CXHID_STATUS_FILE_OPEN_ERROR = 22,
    CXHID_STATUS_FILE_READ_ERROR = 23,
    CXHID_STATUS_FILE_WRITE_ERROR = 24,
    CXHID_STATUS_FILE_CLOSE_ERROR = 25,
    CXHID_STATUS_INVALID_PATCH_FILE = 26,
    CXHID_STATUS_PATCH_EEPROM_SIZE = 27,
    CXHID_STATUS_PATCH_WRONG_DEVICE = 28,
    CXHID_STATUS_PATCH_WRONG_FW_VERSION = 29,
    CXHID_STATUS_PATCH_UNSAFE = 30,
    CXHID_STATUS_PATCH_VERIFY_FAILED = 31,
    CXHID_STATUS_NOT_PATCHABLE = 32,
    CXHID_STATUS_SN_NOT_SUPPORTED = 33,
    CXHID_STATUS_SN_NOT_PROGRAMMED = 34,
    CXHID_STATUS_SN_ALREADY_PROGRAMMED = 35,
    CXHID_STATUS_SN_TOO_LONG = 36,
    CXHID_STATUS_SN_TOO_SHORT = 37,
    CXHID_STATUS_SN_INVALID = 38,
    CXHID_STATUS_EEPROM_NOT_DETECTED = 39,
    CXHID_STATUS_EEPROM_SIZE_UNKNOWN = 40,
};

constexpr int kCxStatusLast = 40;

// "OK" ... "EEPROM size is unknown"; "Invalid status" outside 0 ... 40.
const char* CxStatusText(int status);

// Chip types. Anything outside 0 ... 4 is invalid.
enum ECxChipType : int
{
    kCxChipAny = -1,
    kCxChip20562 = 0,
    kCxChip2070x = 1,
    kCxChip2077x = 2,
    kCxChip2076x = 3,
    kCxChip20805 = 4,
};
constexpr int kCxChipTypeCount = 5;
constexpr int kCxMemoryTypeCount = 5;

// Protocol flags.
constexpr std::uint32_t kCxProtoAddressModeMask = 0x0F;
constexpr std::uint32_t kCxProtoAlwaysReadBack = 0x10;
constexpr std::uint32_t kCxProtoChecksum = 0x20;
constexpr std::uint32_t kCxProtoCorrected = 0x40; // the request format of a corrected CX2070x

// Memory access flags.
constexpr std::uint32_t kCxMemReadable = 0x1;
constexpr std::uint32_t kCxMemWritable = 0x2;
constexpr std::uint32_t kCxMemCommandAddressed = 0x4;

// MemoryAccess flags.
constexpr std::uint32_t kCxAccessVerify = 0x10;
constexpr std::uint32_t kCxAccessCommandBitsMask = 0x0E;

// Identity flags.
constexpr std::uint32_t kCxIdentityCorrected = 0x40;

// One memory type of a chip.
struct SCxMemoryDescriptor
{
    std::uint32_t memoryType;
    std::uint32_t access;
    std::uint32_t lowestStart;
    std::uint32_t highestStart;
    std::uint32_t size;
    std::uint32_t highestEnd;
    std::uint8_t requestReportId;
    std::uint8_t replyReportId;
    std::uint8_t chunkUnit;   // 1 for rows whose largest payload is 1 or 0x20, else 2
    std::uint8_t maxChunk;    // largest payload of one request
    std::uint8_t requestPayloadOffset;
    std::uint8_t replyPayloadOffset;
    std::uint8_t reserved[2];
    std::uint32_t writeDelayMs;
    std::uint32_t readDelayMs;
};
static_assert(sizeof(SCxMemoryDescriptor) == 40);

// The request format and HID identity of a chip type.
struct SCxProtocolDescriptor
{
    std::uint32_t flags;
    std::int32_t memoryTable; // 0 table A, 1 table B, 2 table C, -1 none
    std::uint8_t writeBit;
    std::uint8_t memoryType3Bit;
    std::uint8_t memoryType0Bit;
    std::uint8_t reserved0;
    std::uint16_t usagePage;
    std::uint16_t usage;
    std::uint16_t featureLength;
    std::uint16_t inputLength;
    std::uint16_t outputLength;
    std::uint16_t reserved1;
    char signature[10];
    std::uint8_t signatureLength;
    std::uint8_t signatureRequired;
    std::uint8_t reserved2[4];
};
static_assert(sizeof(SCxProtocolDescriptor) == 40);

const SCxProtocolDescriptor& CxProtocolDescriptor(int chipType); // chipType 0 ... 4
// The five memory descriptors of a table (0 A, 1 B, 2 C); null for others.
const SCxMemoryDescriptor* CxMemoryTable(int table);
const char* CxChipName(int chipType); // "CX20562" ... ; "unknown" outside 0 ... 4

// The checksum byte of a request: the sum over request[1 .. end) of
// (0xFF - byte), modulo 256; it is stored at request[end].
std::uint8_t CxRequestChecksum(const std::uint8_t* request, std::size_t end);

// Per-request statistics of MemoryAccess (900 bytes, first word its size).
struct SCxCompareEntry
{
    std::uint32_t address;
    std::uint8_t written;
    std::uint8_t read;
    std::uint8_t differs;
    std::uint8_t reserved;
};

struct SCxAccessStatistics
{
    std::uint32_t size;
    std::uint32_t chunkBytes;
    std::uint32_t bytesToGo;
    std::uint32_t bytesDone;
    std::uint32_t direction;
    std::uint32_t memoryType;
    std::uint32_t firstAddress;
    std::uint32_t lastAddress;
    std::uint32_t differences;      // compared bytes of the last chunk that differed
    std::uint32_t differencesTotal; // ... of the whole access
    std::uint32_t compared;
    std::uint8_t data[60];          // the first bytes of the last chunk
    SCxCompareEntry compare[60];    // the first bytes of the last verified chunk
    // Beyond the record's named fields: how many of data and compare hold bytes.
    std::uint32_t dataLength;
    std::uint32_t compareCount;
    std::uint8_t reserved[900 - 44 - 60 - 480 - 8];
};
static_assert(sizeof(SCxAccessStatistics) == 900);

struct SCxOpenDifference
{
    std::uint32_t address;
    std::uint8_t expected;
    std::uint8_t read;
    std::uint8_t reserved[2];
};

// Totals of a patch write or verification (900 bytes, first word its size).
struct SCxPatchStatistics
{
    std::uint32_t size;
    std::uint32_t bytesDone;      // bytes written (a write) or compared (a verification alone)
    std::uint32_t totalDataBytes; // the file's data bytes, each address counted once
    std::uint32_t bytesRemaining;
    std::uint32_t differences;    // bytes the chip holds otherwise than the file, outside the ignore ranges
    std::uint32_t ignoredBytes;   // bytes of the file left alone inside the ignore ranges
    std::uint32_t toleratedDifferences;
    // The last per-call statistics (their counting part).
    std::uint32_t lastChunkBytes;
    std::uint32_t lastBytesToGo;
    std::uint32_t lastBytesDone;
    std::uint32_t lastDirection;
    std::uint32_t lastMemoryType;
    std::uint32_t lastFirstAddress;
    std::uint32_t lastLastAddress;
    std::uint32_t lastDifferences;
    std::uint32_t compared;
    std::uint32_t openDifferenceCount;
    SCxOpenDifference openDifferences[8];
    // Beyond the record's named fields.
    std::uint32_t bytesCompared;  // bytes read back and compared
    std::uint32_t memorySize;     // bytes of the memory the file was checked against (0: not known)
    std::uint32_t refusedAddress; // the first address the check refused (with 14 or 27)
    std::uint8_t reserved[900 - 68 - 64 - 12];
};
static_assert(sizeof(SCxPatchStatistics) == 900);

// The analysis of an S37 file (52 bytes).
struct S37File
{
    std::uint32_t size;
    std::uint32_t s3Records;
    std::uint32_t s7Records;
    std::uint32_t totalDataBytes;
    std::uint32_t highestAddress;
    std::uint32_t reserved0;
    std::uint32_t reserved1;
    std::int32_t chipFamily; // -1 unknown, 0 CX20562, 1 CX2070x, 2 CX2077x, 3 CX2076x
    std::uint8_t LayoutVersion;
    std::uint8_t LayoutSignature;
    std::uint16_t VendorID;
    std::uint16_t ProductID;
    std::uint16_t RevisionID;
    std::uint16_t SerialNumberStringAddress;
    std::uint8_t SerialNumberStringLength;
    std::uint8_t reserved2;
    std::int32_t fileType; // -1 unknown, 0 CX20562, 1 CX2070x firmware, 2 CX2070x patch, 3 CX2077x, 4 CX2076x
    std::uint32_t magicBytes;
};
static_assert(sizeof(S37File) == 52);

// Progress callbacks: (context, bytes done, statistics record) -> non-zero aborts.
using CxMemoryProgressCallback = std::int32_t (*)(void* context, std::uint32_t bytesDone,
                                                  const SCxAccessStatistics* statistics);
using CxPatchProgressCallback = std::int32_t (*)(void* context, std::uint32_t bytesDone,
                                                 const SCxPatchStatistics* statistics);

// The I/O settings of a device object.
struct SCxIoSettings
{
    std::uint32_t allowedReads = 1000;
    std::uint32_t readTimeoutMs = 100;
    std::uint32_t writeTimeoutMs = 100;
    std::uint32_t writeAttempts = 5;
    std::uint32_t writeRetryDelayMs = 1;
    // A request whose reply does not come within the read time-out is sent
    // again, this many times in all; a reply that comes after all is one
    // owed: it is waited for (up to ten read time-outs) and dropped before
    // the next request, never taken for a later request's.
    std::uint32_t replyAttempts = 3;
    // The pause before each write of a patch.
    std::uint32_t patchWriteDelayMs = 40;
};

// MemoryPatch options.
constexpr std::uint32_t kCxPatchWrite = 0x01;
constexpr std::uint32_t kCxPatchVerify = 0x02;
constexpr std::uint32_t kCxPatchClear = 0x08;
constexpr std::uint32_t kCxPatchRegisterRanges = 0x10;
constexpr std::uint32_t kCxPatchHonourIgnoreRanges = 0x20;
// Writes a CX20562 file although it puts the EEPROM magic byte (0x4C) where
// that chip looks for a header; without it such a write is refused with 30.
constexpr std::uint32_t kCxPatchAllowMagicBytes = 0x40;

// The HID identity of a connected chip.
struct SCxDeviceIdentity
{
    std::uint32_t flags; // kCxIdentityCorrected
    const wchar_t* path;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t versionNumber;
    std::uint16_t usagePage;
    std::uint16_t usage;
    std::uint16_t featureLength;
    std::uint16_t inputLength;
    std::uint16_t outputLength;
};

// Property indices.
constexpr int kCxPropertyCount = 36;
constexpr int kCxPropEepromPointer = 0;       // EEPROM address of the pointer to the product text
constexpr int kCxPropSignatureAddress = 18;   // computed on first use
constexpr int kCxPropEepromSizeCodeAddress = 19;
constexpr int kCxPropPatchVersionAddress = 20; // chip memory (type 1) address of the 3-byte patch version
constexpr int kCxPropEepromDetected = 32;
constexpr int kCxPropEepromValid = 33;
constexpr int kCxPropFirmwareKnowsEepromSize = 34;
constexpr int kCxPropPatchLoaded = 35;
