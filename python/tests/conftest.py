"""The package's tests run against the bench adapter library (the simulated
Avnera chip behind an Aardvark adapter) with the host interface built in the
project's build tree. ORVO_BUILD_DIR names that tree (default build/linux)."""

import ctypes
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ORVO_BUILD_DIR", os.path.join(ROOT, "build", "linux"))
sys.path.insert(0, os.path.join(ROOT, "python"))
# The host interface takes its time scale when it loads: waits run 100 times
# faster (time-outs stay long enough for a loaded machine).
os.environ.setdefault("ORVO_TIME_SCALE", "0.01")
os.environ.setdefault("ORVO_HOSTAPI_LIBRARY", os.path.join(BUILD, "lib", "liborvohostapi.so"))

# Loaded first by its path, the bench library is the "aardvark.so" the host
# interface then finds by name.
BENCH = ctypes.CDLL(os.path.join(BUILD, "lib", "bench", "aardvark.so"), mode=ctypes.RTLD_GLOBAL)
BENCH.orvo_bench_aa_restore.argtypes = [ctypes.c_uint32] * 3
BENCH.orvo_bench_aa_gpio.restype = ctypes.c_uint32
BENCH.orvo_bench_aa_resets.restype = ctypes.c_uint32
BENCH.orvo_bench_aa_serial.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_char_p]
BENCH.orvo_bench_aa_assert.argtypes = [ctypes.c_char_p]
BENCH.orvo_bench_aa_ram.argtypes = [ctypes.c_uint16, ctypes.c_uint32, ctypes.c_char_p]
BENCH.orvo_bench_aa_ram.restype = ctypes.c_uint32
BENCH.orvo_bench_aa_eeprom.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_char_p]
BENCH.orvo_bench_aa_eeprom.restype = ctypes.c_uint32
BENCH.orvo_bench_aa_flash_mode.restype = ctypes.c_uint32

import orvohostapi  # noqa: E402


class Bench:
    def restore(self, mode=0, state=0, never_ready=False):
        BENCH.orvo_bench_aa_restore(mode, state, 1 if never_ready else 0)

    def gpio_outputs(self):
        return BENCH.orvo_bench_aa_gpio() & 0xFF

    def resets(self):
        return BENCH.orvo_bench_aa_resets()

    def serial(self, address, length):
        out = ctypes.create_string_buffer(length)
        BENCH.orvo_bench_aa_serial(address, length, out)
        return out.raw

    def assert_chip(self, code):
        BENCH.orvo_bench_aa_assert(code)

    def ram(self, address, length):
        out = ctypes.create_string_buffer(length)
        BENCH.orvo_bench_aa_ram(address, length, out)
        return out.raw

    def eeprom(self, address, length):
        out = ctypes.create_string_buffer(length)
        BENCH.orvo_bench_aa_eeprom(address, length, out)
        return out.raw

    def in_flash_mode(self):
        return BENCH.orvo_bench_aa_flash_mode() != 0


@pytest.fixture
def bench():
    orvohostapi.initialize()
    b = Bench()
    b.restore()
    yield b
    orvohostapi.shutdown()


@pytest.fixture
def chip(bench):
    with orvohostapi.open_device(orvohostapi.AARDVARK, 0) as device:
        yield device
