#pragma once
// The front of the Conexant HID audio library: discovery of a Conexant chip
// among the HID interfaces, and one process-wide current device.
//
// The HID interfaces come from the HID system port: the system's own unless
// CxSetHidSystem chose another (the bench world, tests). The current device
// is process-wide and unguarded: connect and disconnect from one thread.

#include <cstdint>
#include <string>
#include <vector>

#include "conexant/CxAudioHidDev.h"

class IHidSystem;

// The HID system the front searches; null returns to the system's own.
// The given system must outlive every device connected through it.
void CxSetHidSystem(IHidSystem* system);

// Searches the HID interfaces for a chip of chipType (-1 any) with the
// vendor and product identifiers (0 any). Returns a new chip object holding
// one reference, or null; *status (optional) gets 0, 2 (system failure,
// also for a device path longer than 255 characters), 4 or 3 (none found).
ICxAudioHidDev* Connect(IHidSystem& system, int chipType, std::uint16_t vendorId, std::uint16_t productId,
                        int* status);

// Front operations on the current device. Each connect releases the
// previous current device first; they return the status of the search.
int CxConnectAny();
int CxConnectType(int chipType);
int CxConnectVidPid(std::uint16_t vendorId, std::uint16_t productId);
int CxConnect(int chipType, std::uint16_t vendorId, std::uint16_t productId);
void CxDisconnect();
bool CxIsCurrentDevice(const ICxAudioHidDev* device);
bool CxIsConnected();
ICxAudioHidDev* CxGetCurrentDevice(); // no extra reference

const char* CxGetStatusText(int status);
const char* CxGetLibraryVersion(); // "1.0.20.0"
const char* CxGetLibraryName();    // "CxAudioHidLib"

// One matching HID interface, as a listing reports it.
struct SCxFoundDevice
{
    int chipType;
    std::uint32_t flags;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::wstring path;
};
// Every interface that Connect would accept (chip type after correction).
int CxEnumerate(IHidSystem& system, std::vector<SCxFoundDevice>& found);
