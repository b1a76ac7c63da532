"""ctypes declarations of the host interface's exports."""

import ctypes
import threading

u8, u16, u32, i32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int32
P = ctypes.POINTER


class AvDeviceHandle(ctypes.Structure):
    _fields_ = [("ops", ctypes.c_void_p), ("type", u32), ("link", u32), ("state", u32), ("mode", u32),
                ("flashType", u32), ("reserved", u32), ("i2cMode", u32), ("timeout", u32)]


class AvDeviceQuery(ctypes.Structure):
    _fields_ = [("uniqueId", u32), ("version", u32), ("serial", u32), ("state", u32)]


class AvDeviceSearch(ctypes.Structure):
    _fields_ = [("type", u32), ("id", u32), ("serial", u32)]


class AvBattState(ctypes.Structure):
    _fields_ = [("state", u32), ("value", u16)]


class AvMacStats(ctypes.Structure):
    _fields_ = [("counter", u16 * 11), ("total", u32)]


H = P(AvDeviceHandle)
B = P(u8)
SERIAL2 = [H, u32, u32, B, u32, u32, u32, u32, u32]

SIGNATURES = {
    "AvDllInitialize": [],
    "AvDllShutdown": [],
    "AvDllGetVersion": [P(u32)],
    "AvDllListDevices": [u32, u32, P(u16), P(u32)],
    "AvDllOpenDevice": [u32, u32, P(H)],
    "AvDllCloseHandle": [H],
    "AvDllQueryDevice": [H, P(AvDeviceQuery)],
    "AvDllRefreshDevice": [H],
    "AvDllFindDevice": [u32, P(AvDeviceSearch), P(u32)],
    "commandSend": [H, B],
    "commandGetResponse": [H, B],
    "commandSendAndGetResponse": [H, B, B],
    "commandSetTimeout": [H, u32],
    "getAssertCode": [H, B],
    "MemoryPeek": [H, u16, u8, B],
    "MemoryPoke": [H, u16, u8, B],
    "RemotePeek": [H, u8, u16, u8, B],
    "RemotePoke": [H, u8, u16, u8, B],
    "deviceVersion": [H, P(u32)],
    "deviceReset": [H, u32],
    "eepromWrite": [H, u16, u16, B],
    "eepromRead": [H, u16, u16, B],
    "SerialMemRead": [H, u32, u32, B, u32],
    "SerialMemWrite": [H, u32, u32, B, u32],
    "SerialMemErase": [H, u32, u32, B, u32],
    "SerialMemRead2": SERIAL2,
    "SerialMemWrite2": SERIAL2,
    "SerialMemErase2": SERIAL2,
    "SerialMemEnterFlashMode": [P(H)],
    "SerialMemDownload": [H, u32, u16, B],
    "SetFlashType": [H, u32],
    "FlashWrite": [H, u32, u32, B],
    "FlashRead": [H, u32, u32, B],
    "batmanStopCharger": [H, u8],
    "batmanStartCharger": [H, u8],
    "batmanGetChargerCal": [H, u8, P(u16), P(u16)],
    "batmanSetChargerCal": [H, u8, u16, u16],
    "batmanSampleDvm": [H, u8, u8, u8, u8, P(u16)],
    "batmanGetBattState": [H, u8, P(AvBattState)],
    "systemDeviceIdGet": [H, B, B],
    "systemDeviceIdSet": [H, P(u32)],
    "systemPairedArbDeviceIdGet": [H, B],
    "systemPairedArbDeviceIdSet": [H, P(u32)],
    "systemDeviceIdsCommit": [H],
    "systemPeerDeviceInfoGet": [H, u8, P(u32), B, B],
    "systemVersionAppNameGet": [H, ctypes.c_char_p, ctypes.c_char_p],
    "systemReset": [H],
    "systemDefaultLI": [H],
    "systemPair": [H],
    "systemPairCancel": [H],
    "systemStandby": [H],
    "macGetLinkStatus": [H, B],
    "macGetMACState": [H, B],
    "macGetBer": [H, P(ctypes.c_float), P(u32), u8],
    "macGetBerEx": [H, P(ctypes.c_float), P(u32), u32, u8],
    "macGetStats": [H, u8, P(AvMacStats), u8],
    "macEnableStats": [H, u8, u8],
    "macClearStats": [H, u8, u8],
    "macRfFixedChannelSetup": [H, u8],
    "macWlanChannelTables": [H, P(u16), P(u16)],
    "macDebugTables": [H, P(u16)],
    "rfFixedChannelSetup": [H, u8],
    "rfDynamicChannelSetup": [H],
    "rfAntennaDiversitySetup": [H, u32],
    "rfContinuousTransmitEnable": [H, u8],
    "rfRevertToFlashSettings": [H],
    "rfSetTxPower": [H, u32],
}


# The unsigned integer types of the interface and their ranges. ctypes keeps
# only the low bits of a Python int that does not fit: a length of 257 would
# reach a u8 count as 1. Values outside the range are refused instead.
_RANGES = {u8: 0xFF, u16: 0xFFFF, u32: 0xFFFFFFFF}


# The interface is for one caller at a time: its transfer buffers and its
# handle table are one for the process, and so is each chip's parameter
# block. ctypes lets go of the interpreter lock while a foreign function
# runs, so the package itself makes every call one at a time.
_LOCK = threading.RLock()


def _checked(name, function, arguments):
    limits = [_RANGES.get(argument) for argument in arguments]

    def call(*values):
        for position, (value, limit) in enumerate(zip(values, limits)):
            if limit is not None and isinstance(value, int) and not 0 <= value <= limit:
                raise ValueError("%s: argument %d is %d, outside 0..%d" % (name, position + 1, value, limit))
        with _LOCK:
            return function(*values)

    call.__name__ = name
    return call


class Binding:
    """The exports of one loaded host interface, with their argument types;
    integer arguments outside their C type's range raise ValueError."""

    def __init__(self, handle):
        self.handle = handle
        for name, arguments in SIGNATURES.items():
            function = getattr(handle, name)
            function.argtypes = arguments
            function.restype = i32
            setattr(self, name, _checked(name, function, arguments))


def bind(handle):
    return Binding(handle)
