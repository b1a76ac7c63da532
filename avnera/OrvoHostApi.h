/* Avnera host interface: find, open and command Avnera audio chips over
 * generic HID (type 0), vendor HID (type 1, 170D:FE00) or an Aardvark I2C/SPI
 * adapter (type 2, the adapter maker's aardvark.dll / aardvark.so loaded at
 * run time). Exported by OrvoHIDFlash.exe on Windows and by liborvohostapi.so
 * on Linux, with C linkage.
 *
 * Every function returns 0 on success or a negative code:
 *   -1 transport or device failure, no free handle, time-out, an answer that is not the
 *      command's (opcode, echo, length), a write the memory did not take, nothing found
 *   -2 not supported   -3 null handle, or one that is closed or was never opened
 *   -4 bad argument (also a range outside the memory)
 *   -5 the chip asserted (getAssertCode gives its five bytes)   -6 mode or state out of range
 * 0 means the chip did what was asked: every write of memory, EEPROM, serial memory
 * and flash is read back before it counts. AvDllListDevices returns a count. Call
 * from one thread at a time.
 * Handles: at most ten open at once. A handle that was closed (AvDllCloseHandle,
 * AvDllShutdown, AvDllInitialize, a re-enumeration) stays closed: it never names the
 * device opened after it; its `reserved` word holds the open's generation (0 once
 * closed). Only pointers from AvDllOpenDevice are handles; any other is refused.
 * Packets: [opcode, destination, unit, remote, count, sub-command, ...]; opcodes
 * 0xFD (answered), 0xFF (not answered), below 0xFC a 4-byte packet. Answers are
 * 4..24 bytes and start with 0xFE. */
#ifndef ORVO_HOST_API_H
#define ORVO_HOST_API_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(ORVO_HOSTAPI_BUILD)
#define ORVO_HOSTAPI __declspec(dllexport)
#else
#define ORVO_HOSTAPI
#endif
#else
#define ORVO_HOSTAPI __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AvDeviceHandle AvDeviceHandle;

/* The operations of one transport; a missing one returns -1. */
typedef struct AvTransportOps
{
    int32_t (*send)(AvDeviceHandle* handle, uint32_t length, uint8_t* bytes);
    int32_t (*receive)(AvDeviceHandle* handle, uint32_t* length, uint8_t* bytes);
    int32_t (*close)(AvDeviceHandle* handle);
    int32_t (*control)(AvDeviceHandle* handle, uint32_t code, uint32_t value);
    int32_t (*memWrite)(AvDeviceHandle* handle, uint32_t address, uint16_t length, const uint8_t* bytes);
    int32_t (*memRead)(AvDeviceHandle* handle, uint32_t address, uint16_t length, uint8_t* bytes);
    int32_t (*blockWrite)(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* bytes);
    int32_t (*blockRead)(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* bytes);
} AvTransportOps;

/* One open device; one of ten static slots (link 0 = free). */
struct AvDeviceHandle
{
    const AvTransportOps* ops;
    uint32_t type;      /* 0 generic HID, 1 vendor HID, 2 Aardvark */
    uint32_t link;      /* the transport's own handle */
    uint32_t state;     /* chip register 0xF002 as last read */
    uint32_t mode;      /* 0, 1, 2; 255 = not yet known */
    uint32_t flashType; /* set by SetFlashType */
    uint32_t reserved;  /* generation of this open; 0 once closed */
    uint32_t i2cMode;   /* Aardvark: 0 SPI, 1 I2C */
    uint32_t timeout;   /* answer time-out in ms (generic HID, Aardvark) */
};

typedef struct AvDeviceQuery
{
    uint32_t uniqueId;
    uint32_t version;
    uint32_t serial; /* never filled by AvDllQueryDevice */
    uint32_t state;
} AvDeviceQuery;

typedef struct AvDeviceSearch
{
    uint32_t type;
    uint32_t id; /* vendor ID << 16 | product ID */
    uint32_t serial;
} AvDeviceSearch;

typedef struct AvBattState
{
    uint32_t state;
    uint16_t value;
} AvBattState;

typedef struct AvMacStats
{
    uint16_t counter[11];
    uint32_t total;
} AvMacStats;

/* Handles and commands */
ORVO_HOSTAPI int32_t AvDllInitialize(void);                 /* closes every open slot; 0 */
ORVO_HOSTAPI int32_t AvDllShutdown(void);                   /* closes every open slot; 0 */
ORVO_HOSTAPI int32_t AvDllGetVersion(uint32_t version[2]);  /* 1, 18 */
ORVO_HOSTAPI int32_t AvDllListDevices(uint32_t type, uint32_t maximum, uint16_t* indexes, uint32_t* ids); /* count listed */
ORVO_HOSTAPI int32_t AvDllOpenDevice(uint32_t type, uint32_t index, AvDeviceHandle** handle); /* index-th device of the type */
ORVO_HOSTAPI int32_t AvDllCloseHandle(AvDeviceHandle* handle);  /* closes and frees the slot */
ORVO_HOSTAPI int32_t AvDllQueryDevice(AvDeviceHandle* handle, AvDeviceQuery* query); /* reads state; unique ID and version where the transport has them */
ORVO_HOSTAPI int32_t AvDllRefreshDevice(AvDeviceHandle* handle); /* reads state (0xF002) and mode (0xF004) */
ORVO_HOSTAPI int32_t AvDllFindDevice(uint32_t flags, const AvDeviceSearch* search, uint32_t* index); /* bit 0: id, bit 1: serial */
ORVO_HOSTAPI int32_t commandSend(AvDeviceHandle* handle, uint8_t* packet); /* -5: packet[0..3] = assertion bytes */
ORVO_HOSTAPI int32_t commandGetResponse(AvDeviceHandle* handle, uint8_t* answer); /* answer: 24 bytes */
ORVO_HOSTAPI int32_t commandSendAndGetResponse(AvDeviceHandle* handle, uint8_t* packet, uint8_t* answer);
ORVO_HOSTAPI int32_t commandSetTimeout(AvDeviceHandle* handle, uint32_t milliseconds);
ORVO_HOSTAPI int32_t getAssertCode(AvDeviceHandle* handle, uint8_t* code); /* 0 with the 5 assertion bytes */
ORVO_HOSTAPI void inithostapi_vmi(void); /* Python extension entry (hostapi_vmi) */

/* Memory, EEPROM, serial memory */
ORVO_HOSTAPI int32_t MemoryPeek(AvDeviceHandle* handle, uint16_t address, uint8_t count, uint8_t* out); /* 1..16 bytes */
ORVO_HOSTAPI int32_t MemoryPoke(AvDeviceHandle* handle, uint16_t address, uint8_t count, const uint8_t* data); /* 1..16 bytes */
ORVO_HOSTAPI int32_t RemotePeek(AvDeviceHandle* handle, uint8_t remote, uint16_t address, uint8_t count, uint8_t* out);
ORVO_HOSTAPI int32_t RemotePoke(AvDeviceHandle* handle, uint8_t remote, uint16_t address, uint8_t count, const uint8_t* data);
ORVO_HOSTAPI int32_t deviceVersion(AvDeviceHandle* handle, uint32_t* version);
/* level is the chip's reset line: 0 holds the chip in reset, any other value releases it
 * (on the adapter GPIO line 0, low holds); -2 on generic HID, which has no reset line */
ORVO_HOSTAPI int32_t deviceReset(AvDeviceHandle* handle, uint32_t level);
/* address + length at most 0x10000; a write is read back */
ORVO_HOSTAPI int32_t eepromWrite(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* data);
ORVO_HOSTAPI int32_t eepromRead(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* out);
/* Serial memory: the range must lie inside the part (-4); writes and erases are read back */
ORVO_HOSTAPI int32_t SerialMemRead(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t partRow);
ORVO_HOSTAPI int32_t SerialMemWrite(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t partRow); /* address 0: buffer[0..2] = part header */
ORVO_HOSTAPI int32_t SerialMemErase(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t partRow);
ORVO_HOSTAPI int32_t SerialMemRead2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer,
                                    uint32_t memType, uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector);
ORVO_HOSTAPI int32_t SerialMemWrite2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer,
                                     uint32_t memType, uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector);
ORVO_HOSTAPI int32_t SerialMemErase2(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* buffer,
                                     uint32_t memType, uint32_t size, uint32_t page, uint32_t addressInfo, uint32_t sector);
ORVO_HOSTAPI int32_t SerialMemEnterFlashMode(AvDeviceHandle** handle); /* *handle may be replaced by the re-opened device */
/* Enters flash mode, writes the image to the download area, runs it. A generic-HID chip re-enumerates
 * on the way: the handle passed in is closed and the rest goes to the re-opened device (take the new
 * handle from SerialMemEnterFlashMode and AvDllOpenDevice when it is needed afterwards). */
ORVO_HOSTAPI int32_t SerialMemDownload(AvDeviceHandle* handle, uint32_t ignored, uint16_t length, const uint8_t* image);
/* Direct flash access with the flash passed through for the type set by SetFlashType: type 0
 * (the default) passes nothing through, so FlashWrite and FlashRead refuse it with -4; the
 * adapter knows type 1 only (its own wiring to the flash, 24-bit addresses). FlashWrite reads
 * the flash back (flash that was not erased fails). */
ORVO_HOSTAPI int32_t SetFlashType(AvDeviceHandle* handle, uint32_t type);
ORVO_HOSTAPI int32_t FlashWrite(AvDeviceHandle* handle, uint32_t address, uint32_t length, const uint8_t* data);
ORVO_HOSTAPI int32_t FlashRead(AvDeviceHandle* handle, uint32_t address, uint32_t length, uint8_t* out);

/* System, radio, MAC, battery */
ORVO_HOSTAPI int32_t batmanStopCharger(AvDeviceHandle* handle, uint8_t index);
ORVO_HOSTAPI int32_t batmanStartCharger(AvDeviceHandle* handle, uint8_t index);
ORVO_HOSTAPI int32_t batmanGetChargerCal(AvDeviceHandle* handle, uint8_t index, uint16_t* first, uint16_t* second);
ORVO_HOSTAPI int32_t batmanSetChargerCal(AvDeviceHandle* handle, uint8_t index, uint16_t first, uint16_t second);
ORVO_HOSTAPI int32_t batmanSampleDvm(AvDeviceHandle* handle, uint8_t index, uint8_t a, uint8_t b, uint8_t c, uint16_t* out);
ORVO_HOSTAPI int32_t batmanGetBattState(AvDeviceHandle* handle, uint8_t index, AvBattState* out);
ORVO_HOSTAPI int32_t systemDeviceIdGet(AvDeviceHandle* handle, uint8_t* id4, uint8_t* deviceByte);
ORVO_HOSTAPI int32_t systemDeviceIdSet(AvDeviceHandle* handle, const uint32_t* id);
ORVO_HOSTAPI int32_t systemPairedArbDeviceIdGet(AvDeviceHandle* handle, uint8_t* id4); /* mode 1 only */
ORVO_HOSTAPI int32_t systemPairedArbDeviceIdSet(AvDeviceHandle* handle, const uint32_t* id);
ORVO_HOSTAPI int32_t systemDeviceIdsCommit(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t systemPeerDeviceInfoGet(AvDeviceHandle* handle, uint8_t index, uint32_t* id, uint8_t* second, uint8_t* third);
ORVO_HOSTAPI int32_t systemVersionAppNameGet(AvDeviceHandle* handle, char* version32, char* name95);
ORVO_HOSTAPI int32_t systemReset(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t systemDefaultLI(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t systemPair(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t systemPairCancel(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t systemStandby(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t macGetLinkStatus(AvDeviceHandle* handle, uint8_t* link);
ORVO_HOSTAPI int32_t macGetMACState(AvDeviceHandle* handle, uint8_t* state);
ORVO_HOSTAPI int32_t macGetBer(AvDeviceHandle* handle, float* ratio, uint32_t* bits, uint8_t channel); /* 4000 ms window */
ORVO_HOSTAPI int32_t macGetBerEx(AvDeviceHandle* handle, float* ratio, uint32_t* bits, uint32_t windowMs, uint8_t channel);
ORVO_HOSTAPI int32_t macGetStats(AvDeviceHandle* handle, uint8_t index, AvMacStats* stats, uint8_t selector);
ORVO_HOSTAPI int32_t macEnableStats(AvDeviceHandle* handle, uint8_t index, uint8_t on);
ORVO_HOSTAPI int32_t macClearStats(AvDeviceHandle* handle, uint8_t index, uint8_t on);
ORVO_HOSTAPI int32_t macRfFixedChannelSetup(AvDeviceHandle* handle, uint8_t channel);
ORVO_HOSTAPI int32_t macWlanChannelTables(AvDeviceHandle* handle, uint16_t* first, uint16_t* second);
ORVO_HOSTAPI int32_t macDebugTables(AvDeviceHandle* handle, uint16_t* value);
ORVO_HOSTAPI int32_t rfFixedChannelSetup(AvDeviceHandle* handle, uint8_t channel);
ORVO_HOSTAPI int32_t rfDynamicChannelSetup(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t rfAntennaDiversitySetup(AvDeviceHandle* handle, uint32_t mode); /* modes 0..2 */
ORVO_HOSTAPI int32_t rfContinuousTransmitEnable(AvDeviceHandle* handle, uint8_t on); /* every poke goes out */
/* a reset pulse (held 1 s, released), done when the chip answers again; -2 on generic HID */
ORVO_HOSTAPI int32_t rfRevertToFlashSettings(AvDeviceHandle* handle);
ORVO_HOSTAPI int32_t rfSetTxPower(AvDeviceHandle* handle, uint32_t value); /* -2 */

#ifdef __cplusplus
}
#endif

#endif
