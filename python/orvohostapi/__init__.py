"""Python 3 binding of the Avnera host interface (ctypes, no compiled part).

Loads the host interface - liborvohostapi.so on Linux, orvohostapi.dll (or
OrvoHIDFlash.exe, which exports the same names) on Windows - and wraps each export in a function that returns Python values and
raises HostApiError (carrying the status code) on failure.

    import orvohostapi
    for index, ident in orvohostapi.list_devices(orvohostapi.AARDVARK):
        with orvohostapi.open_device(orvohostapi.AARDVARK, index) as chip:
            print(hex(chip.device_version()), chip.version_app_name())

The library is found through ORVO_HOSTAPI_LIBRARY (a path), else the
project's build tree beside this package (build/linux/lib on Linux,
build/windows/bin on Windows), else the system's library search.
"""

import ctypes
import os
import sys

from ._binding import (  # noqa: F401
    AvBattState,
    AvDeviceHandle,
    AvDeviceQuery,
    AvDeviceSearch,
    AvMacStats,
    bind,
)

GENERIC_HID = 0
VENDOR_HID = 1
AARDVARK = 2

CODES = {
    -1: "transport or device failure, no free handle, time-out or nothing found",
    -2: "not supported",
    -3: "null handle",
    -4: "bad argument",
    -5: "the chip asserted",
    -6: "mode or state out of range",
}

__all__ = [
    "GENERIC_HID", "VENDOR_HID", "AARDVARK", "HostApiError", "Device", "load", "library", "interface_version",
    "list_devices", "open_device", "find_device", "peer_device_info", "initialize", "shutdown",
]


class HostApiError(Exception):
    """A host-interface function failed; code is its status (-1 .. -6)."""

    def __init__(self, function, code, detail=None):
        self.function = function
        self.code = code
        self.detail = detail
        text = "%s failed with %d (%s)" % (function, code, CODES.get(code, "unknown code"))
        if detail:
            text += ": " + detail
        super().__init__(text)


_library = None


def _candidates():
    explicit = os.environ.get("ORVO_HOSTAPI_LIBRARY")
    if explicit:
        return [explicit]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if sys.platform.startswith("win"):
        # orvohostapi.dll carries the same exports as OrvoHIDFlash.exe; a
        # program loaded as a library does not get its run-time start-up, so
        # the DLL comes first and the program is the last resort.
        return [os.path.join(root, "build", "windows", "bin", "orvohostapi.dll"), "orvohostapi.dll",
                os.path.join(root, "build", "windows", "bin", "OrvoHIDFlash.exe"), "OrvoHIDFlash.exe"]
    return [os.path.join(root, "build", "linux", "lib", "liborvohostapi.so"), "liborvohostapi.so.1"]


def load(path=None):
    """Loads (once) and returns the bound host interface."""
    global _library
    if _library is not None and path is None:
        return _library
    errors = []
    for candidate in ([path] if path else _candidates()):
        if os.sep in candidate and not os.path.exists(candidate):
            errors.append("%s: not found" % candidate)
            continue
        try:
            handle = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append("%s: %s" % (candidate, error))
            continue
        _library = bind(handle)
        return _library
    raise OSError("the host interface could not be loaded (" + "; ".join(errors) + ")")


def library():
    return load()


def _check(name, code):
    if code != 0:
        raise HostApiError(name, code)
    return code


def interface_version():
    """(major, minor) of the host interface: (1, 18)."""
    words = (ctypes.c_uint32 * 2)()
    _check("AvDllGetVersion", library().AvDllGetVersion(words))
    return words[0], words[1]


def initialize():
    library().AvDllInitialize()


def shutdown():
    library().AvDllShutdown()


def list_devices(device_type, maximum=10):
    """[(index, id)] of the devices of a type (id: adapter unique ID, or vendor << 16 | product)."""
    indexes = (ctypes.c_uint16 * maximum)()
    ids = (ctypes.c_uint32 * maximum)()
    count = library().AvDllListDevices(device_type, maximum, indexes, ids)
    return [(indexes[i], ids[i]) for i in range(max(count, 0))]


def find_device(device_type, ident=None, serial=None):
    """Index of the first device of the type matching the id and/or serial."""
    flags = (1 if ident is not None else 0) | (2 if serial is not None else 0)
    search = AvDeviceSearch(device_type, ident or 0, serial or 0)
    index = ctypes.c_uint32()
    _check("AvDllFindDevice", library().AvDllFindDevice(flags, ctypes.byref(search), ctypes.byref(index)))
    return index.value


def open_device(device_type, index=0):
    """Opens the index-th device of the type; use it as a context manager."""
    handle = ctypes.POINTER(AvDeviceHandle)()
    _check("AvDllOpenDevice", library().AvDllOpenDevice(device_type, index, ctypes.byref(handle)))
    return Device(handle)


def peer_device_info(index):
    """(id, second, third) from the constant peer table."""
    ident, second, third = ctypes.c_uint32(), ctypes.c_uint8(), ctypes.c_uint8()
    _check("systemPeerDeviceInfoGet", library().systemPeerDeviceInfoGet(
        None, index, ctypes.byref(ident), ctypes.byref(second), ctypes.byref(third)))
    return ident.value, second.value, third.value


from ._device import Device  # noqa: E402
