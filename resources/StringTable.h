#pragma once
// The program's user-visible texts, by number.

#include <cstdint>

// The text of string id, or "" when the table has no such string.
const char* LoadResourceString(unsigned id);

// Every (number, text) pair of the table, in table order; for tests that
// compare the table with the Windows resources.
struct SStringEntry
{
    unsigned id;
    const char* text;
};
const SStringEntry* GetStringTable(unsigned* count);

// Numbers of the strings used by the code.
enum : unsigned
{
    IDS_ABOUTBOX = 101,
    IDS_UPGRADING = 105,
    IDS_UPGRADE_DONE = 106,
    IDS_UPGRADE_FAILED = 109,
    IDS_NOT_CONNECTED = 110,
    IDS_CURRENT_VERSION = 114,
    IDS_UNKNOWN_VERSION = 115,
    IDS_DOWNLOAD_FAILED = 116,
    IDS_RELOADING = 119,
    IDS_DRIVER_NOT_LOADED = 120,
    IDS_ANOTHER_INSTANCE = 121,
    IDS_READY_PREFIX = 123,
    IDS_READY_SUFFIX = 124,
    IDS_VALIDATING = 126,
    IDS_POWER_ON_AGAIN = 129,
    IDS_DO_NOT_UNPLUG = 132,
    IDS_INITIALIZING = 135,
    IDS_WRONG_IMAGE = 136,
    IDS_NO_USB_HUB = 137,
    IDS_UNPLUG_DEVICE = 138,
    IDS_ABOUT_VERSION = 139,
    IDS_ABOUT_NOTICE = 140,
    IDS_VERIFYING = 147,
    IDS_TIMEOUT = 150,
    IDS_CANCELLED = 152,
    IDS_DEVICE_NEWER = 164,
};
