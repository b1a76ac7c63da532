"""One open device of the host interface."""

import ctypes

from . import HostApiError, library
from ._binding import AvBattState, AvDeviceQuery, AvMacStats, H

# What one call of the C interface carries: a memory peek or poke moves at
# most 16 bytes, the EEPROM and memory addresses are 16 bits wide, the EEPROM
# and download lengths too, a command packet is at most 24 bytes.
PEEK_MAX = 16
ADDRESS_SPACE = 0x10000
LENGTH_MAX = 0xFFFF
PACKET_MAX = 24


def _buffer(data):
    data = bytes(data)
    return (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0"), len(data)


def _check_range(what, address, length, space=ADDRESS_SPACE):
    if not 0 <= address < space or length < 0 or address + length > space:
        raise ValueError("%s of %d bytes at 0x%X does not fit in 0x%X bytes of address space"
                         % (what, length, address, space))


def _pieces(address, length, size):
    """(offset, address, length) of the pieces of at most size bytes."""
    offset = 0
    while offset < length:
        n = min(size, length - offset)
        yield offset, address + offset, n
        offset += n


class Device:
    """An open device. Methods return Python values and raise HostApiError on
    failure; a length or value that the C interface cannot carry in one call
    is split where the memory allows it and refused with ValueError where not."""

    def __init__(self, handle):
        self._handle = handle
        # The generation of this open: once the handle was closed (also by
        # shutdown() or a re-enumeration) it no longer matches.
        self._generation = handle.contents.reserved if handle else 0

    # Life ---------------------------------------------------------------
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        # A handle closed behind this object's back (shutdown, re-enumeration)
        # is left alone: whatever device was opened since is not this one.
        if self._handle and self._current():
            library().AvDllCloseHandle(self._handle)
        self._handle = H()

    def _current(self):
        return self._generation != 0 and self._handle.contents.reserved == self._generation

    @property
    def is_open(self):
        return bool(self._handle) and self._current()

    def _h(self):
        if not self._handle:
            raise HostApiError("Device", -3, "the device is closed")
        if not self._current():
            raise HostApiError("Device", -3, "the device was closed (shut down or re-enumerated)")
        return self._handle

    def _call(self, name, *arguments):
        code = getattr(library(), name)(self._h(), *arguments)
        if code != 0:
            raise HostApiError(name, code)

    @property
    def type(self):
        return self._h().contents.type

    @property
    def mode(self):
        return self._h().contents.mode

    @property
    def state(self):
        return self._h().contents.state

    # Handles and commands ---------------------------------------------------
    def query(self):
        record = AvDeviceQuery()
        self._call("AvDllQueryDevice", ctypes.byref(record))
        return {"unique_id": record.uniqueId, "version": record.version, "state": record.state}

    def refresh(self):
        """Reads state and mode from the chip; returns (mode, state)."""
        self._call("AvDllRefreshDevice")
        return self.mode, self.state

    def set_timeout(self, milliseconds):
        self._call("commandSetTimeout", milliseconds)

    @staticmethod
    def _packet(packet):
        packet = bytes(packet)
        if len(packet) > PACKET_MAX:
            raise ValueError("a command packet is at most %d bytes, not %d" % (PACKET_MAX, len(packet)))
        return (ctypes.c_uint8 * PACKET_MAX).from_buffer_copy(packet.ljust(PACKET_MAX, b"\0"))

    def send(self, packet):
        """Sends a command packet; on an assertion the error's detail holds the assertion bytes."""
        buffer = self._packet(packet)
        code = library().commandSend(self._h(), buffer)
        if code != 0:
            raise HostApiError("commandSend", code, bytes(buffer[:4]).hex() if code == -5 else None)

    def get_response(self):
        answer = (ctypes.c_uint8 * 24)()
        self._call("commandGetResponse", answer)
        return bytes(answer)

    def transact(self, packet):
        """Sends a packet and returns the 24-byte answer buffer."""
        buffer = self._packet(packet)
        answer = (ctypes.c_uint8 * 24)()
        code = library().commandSendAndGetResponse(self._h(), buffer, answer)
        if code != 0:
            raise HostApiError("commandSendAndGetResponse", code, bytes(buffer[:4]).hex() if code == -5 else None)
        return bytes(answer)

    def assert_code(self):
        """The five assertion bytes, or None when the chip has not asserted."""
        code = (ctypes.c_uint8 * 5)()
        if library().getAssertCode(self._h(), code) != 0:
            return None
        return bytes(code)

    # Memory -----------------------------------------------------------------
    def peek(self, address, count, remote=0):
        """count bytes of chip memory (16 a call)."""
        if count <= 0:
            out = (ctypes.c_uint8 * 1)()
            self._peek(remote, address, 0, out)  # the interface's own refusal (-4)
            return b""
        _check_range("peek", address, count)
        data = bytearray()
        for _, at, n in _pieces(address, count, PEEK_MAX):
            out = (ctypes.c_uint8 * n)()
            self._peek(remote, at, n, out)
            data += bytes(out)
        return bytes(data)

    def _peek(self, remote, address, count, out):
        if remote:
            self._call("RemotePeek", remote, address, count, out)
        else:
            self._call("MemoryPeek", address, count, out)

    def poke(self, address, data, remote=0):
        """Writes chip memory (16 bytes a call; a failed piece leaves the earlier ones written)."""
        data = bytes(data)
        if not data:
            buffer, _ = _buffer(data)
            self._poke(remote, address, 0, buffer)  # the interface's own refusal (-4)
            return
        _check_range("poke", address, len(data))
        for offset, at, n in _pieces(address, len(data), PEEK_MAX):
            buffer, _ = _buffer(data[offset:offset + n])
            self._poke(remote, at, n, buffer)

    def _poke(self, remote, address, count, buffer):
        if remote:
            self._call("RemotePoke", remote, address, count, buffer)
        else:
            self._call("MemoryPoke", address, count, buffer)

    def device_version(self):
        version = ctypes.c_uint32()
        self._call("deviceVersion", ctypes.byref(version))
        return version.value

    def reset(self, level):
        self._call("deviceReset", level)

    def eeprom_write(self, address, data):
        """Writes the EEPROM (16-bit addresses: address + length at most 0x10000); read back by the interface."""
        data = bytes(data)
        _check_range("eeprom_write", address, len(data))
        if not data:
            buffer, _ = _buffer(data)
            self._call("eepromWrite", address, 0, buffer)
        for offset, at, n in _pieces(address, len(data), LENGTH_MAX):
            buffer, _ = _buffer(data[offset:offset + n])
            self._call("eepromWrite", at, n, buffer)

    def eeprom_read(self, address, length):
        _check_range("eeprom_read", address, length)
        data = bytearray()
        for _, at, n in _pieces(address, length, LENGTH_MAX):
            out = (ctypes.c_uint8 * n)()
            self._call("eepromRead", at, n, out)
            data += bytes(out)
        return bytes(data)

    def serial_read(self, address, length, part_row):
        out = (ctypes.c_uint8 * max(length, 1))()
        self._call("SerialMemRead", address, length, out, part_row)
        return bytes(out[:length])

    def serial_write(self, address, data, part_row):
        """Writes the serial memory; returns the bytes written (at address 0 the part header replaces the first three)."""
        buffer, length = _buffer(data)
        self._call("SerialMemWrite", address, length, buffer, part_row)
        return bytes(buffer[:length])

    def serial_erase(self, address, length, part_row, data=None):
        buffer, _ = _buffer(data if data is not None else b"\xff" * max(length, 1))
        self._call("SerialMemErase", address, length, buffer, part_row)

    def serial_read_part(self, address, length, mem_type, size, page, address_info, sector):
        """SerialMemRead2: a part given by its geometry instead of a row."""
        out = (ctypes.c_uint8 * max(length, 1))()
        self._call("SerialMemRead2", address, length, out, mem_type, size, page, address_info, sector)
        return bytes(out[:length])

    def serial_write_part(self, address, data, mem_type, size, page, address_info, sector):
        buffer, length = _buffer(data)
        self._call("SerialMemWrite2", address, length, buffer, mem_type, size, page, address_info, sector)
        return bytes(buffer[:length])

    def serial_erase_part(self, address, length, mem_type, size, page, address_info, sector, data=None):
        buffer, _ = _buffer(data if data is not None else b"\xff" * max(length, 1))
        self._call("SerialMemErase2", address, length, buffer, mem_type, size, page, address_info, sector)

    def enter_flash_mode(self):
        """Sends the chip into flash mode; a generic-HID chip comes back as a new device, which this object then holds."""
        code = library().SerialMemEnterFlashMode(ctypes.byref(self._h()))
        if self._handle:
            self._generation = self._handle.contents.reserved
        if code != 0:
            raise HostApiError("SerialMemEnterFlashMode", code)

    def download(self, image):
        """Downloads an image (at most 65,535 bytes, one call) and runs it. A
        generic-HID chip re-enumerates on the way: this object is closed then."""
        image = bytes(image)
        if len(image) > LENGTH_MAX:
            raise ValueError("a download carries at most %d bytes, not %d" % (LENGTH_MAX, len(image)))
        buffer, length = _buffer(image)
        self._call("SerialMemDownload", 0, length, buffer)

    def set_flash_type(self, flash_type):
        self._call("SetFlashType", flash_type)

    def flash_write(self, address, data):
        buffer, length = _buffer(data)
        self._call("FlashWrite", address, length, buffer)

    def flash_read(self, address, length):
        out = (ctypes.c_uint8 * max(length, 1))()
        self._call("FlashRead", address, length, out)
        return bytes(out[:length])

    # System -----------------------------------------------------------------
    def version_app_name(self):
        """(version text, application name text) from the chip's version record."""
        version = ctypes.create_string_buffer(32)
        name = ctypes.create_string_buffer(95)
        self._call("systemVersionAppNameGet", version, name)
        return version.value.decode("latin-1"), name.value.decode("latin-1")

    def device_id(self):
        ident = (ctypes.c_uint8 * 4)()
        device_byte = ctypes.c_uint8()
        self._call("systemDeviceIdGet", ident, ctypes.byref(device_byte))
        return int.from_bytes(bytes(ident), "little"), device_byte.value

    def set_device_id(self, ident):
        self._call("systemDeviceIdSet", ctypes.byref(ctypes.c_uint32(ident)))

    def paired_arbiter_id(self):
        ident = (ctypes.c_uint8 * 4)()
        self._call("systemPairedArbDeviceIdGet", ident)
        return int.from_bytes(bytes(ident), "little")

    def set_paired_arbiter_id(self, ident):
        self._call("systemPairedArbDeviceIdSet", ctypes.byref(ctypes.c_uint32(ident)))

    def commit_device_ids(self):
        self._call("systemDeviceIdsCommit")

    def system_reset(self):
        self._call("systemReset")

    def default_li(self):
        self._call("systemDefaultLI")

    def pair(self):
        self._call("systemPair")

    def pair_cancel(self):
        self._call("systemPairCancel")

    def standby(self):
        self._call("systemStandby")

    # MAC and radio ----------------------------------------------------------
    def link_status(self):
        value = ctypes.c_uint8()
        self._call("macGetLinkStatus", ctypes.byref(value))
        return value.value

    def mac_state(self):
        value = ctypes.c_uint8()
        self._call("macGetMACState", ctypes.byref(value))
        return value.value

    def bit_error_rate(self, channel, window_ms=None):
        """(ratio, bits counted) over the window (4000 ms unless given)."""
        ratio, bits = ctypes.c_float(), ctypes.c_uint32()
        if window_ms is None:
            self._call("macGetBer", ctypes.byref(ratio), ctypes.byref(bits), channel)
        else:
            self._call("macGetBerEx", ctypes.byref(ratio), ctypes.byref(bits), window_ms, channel)
        return ratio.value, bits.value

    def mac_stats(self, index=0, selector=0):
        stats = AvMacStats()
        self._call("macGetStats", index, ctypes.byref(stats), selector)
        return list(stats.counter), stats.total

    def enable_stats(self, index, on):
        self._call("macEnableStats", index, 1 if on else 0)

    def clear_stats(self, index, on):
        self._call("macClearStats", index, 1 if on else 0)

    def mac_fixed_channel(self, channel):
        self._call("macRfFixedChannelSetup", channel)

    def wlan_channel_tables(self):
        first, second = ctypes.c_uint16(), ctypes.c_uint16()
        self._call("macWlanChannelTables", ctypes.byref(first), ctypes.byref(second))
        return first.value, second.value

    def debug_tables(self):
        value = ctypes.c_uint16()
        self._call("macDebugTables", ctypes.byref(value))
        return value.value

    def rf_fixed_channel(self, channel):
        self._call("rfFixedChannelSetup", channel)

    def rf_dynamic_channel(self):
        self._call("rfDynamicChannelSetup")

    def antenna_diversity(self, mode):
        self._call("rfAntennaDiversitySetup", mode)

    def continuous_transmit(self, on):
        self._call("rfContinuousTransmitEnable", 1 if on else 0)

    def revert_to_flash_settings(self):
        self._call("rfRevertToFlashSettings")

    def set_tx_power(self, value):
        self._call("rfSetTxPower", value)

    # Battery ----------------------------------------------------------------
    def battery_state(self, index=0):
        state = AvBattState()
        self._call("batmanGetBattState", index, ctypes.byref(state))
        return state.state, state.value

    def start_charger(self, index=0):
        self._call("batmanStartCharger", index)

    def stop_charger(self, index=0):
        self._call("batmanStopCharger", index)

    def charger_calibration(self, index=0):
        first, second = ctypes.c_uint16(), ctypes.c_uint16()
        self._call("batmanGetChargerCal", index, ctypes.byref(first), ctypes.byref(second))
        return first.value, second.value

    def set_charger_calibration(self, index, first, second):
        self._call("batmanSetChargerCal", index, first, second)

    def sample_dvm(self, index, a, b, c):
        value = ctypes.c_uint16()
        self._call("batmanSampleDvm", index, a, b, c, ctypes.byref(value))
        return value.value
