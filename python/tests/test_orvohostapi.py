import pytest

import orvohostapi
from orvohostapi import AARDVARK, HostApiError


def test_interface_version():
    assert orvohostapi.interface_version() == (1, 18)


def test_lists_the_bench_adapter_and_reads_the_version(bench):
    assert orvohostapi.list_devices(AARDVARK) == [(0, 2237000123)]
    assert orvohostapi.list_devices(7) == []
    with orvohostapi.open_device(AARDVARK) as chip:
        assert chip.is_open
        assert chip.query()["unique_id"] == 2237000123
        assert chip.refresh() == (0, 0)
        assert chip.device_version() == 0x0105
        assert chip.version_app_name() == ("1.2 (build7)", "HeadsetApp (tool/name.bin)")
    assert not chip.is_open
    with pytest.raises(HostApiError) as error:
        chip.device_version()
    assert error.value.code == -3


def test_second_open_of_the_port_fails_with_the_code(chip):
    with pytest.raises(HostApiError) as error:
        orvohostapi.open_device(AARDVARK, 0)
    assert error.value.code == -1
    assert error.value.function == "AvDllOpenDevice"


def test_peek_poke_and_eeprom(chip):
    chip.poke(0x3000, b"\x01\x02\x03\x04")
    assert chip.peek(0x3000, 4) == b"\x01\x02\x03\x04"
    chip.poke(0x0200, b"\xAA", remote=1)
    assert chip.peek(0x0200, 1, remote=1) == b"\xAA"
    with pytest.raises(HostApiError) as error:
        chip.peek(0x0200, 1, remote=9)
    assert error.value.code == -1
    data = bytes(range(20))
    chip.eeprom_write(0x0100, data)
    assert chip.eeprom_read(0x0100, 20) == data


def test_payload_above_twenty_is_refused(chip):
    # A 17-byte poke would be a payload count of 21: the package pokes 16 and 1.
    with pytest.raises(HostApiError) as error:
        chip.send(b"\xfd\x02\x00\x00\x15\x00\x00\x10" + bytes(16))
    assert error.value.code == -1


def test_serial_flash_round_trip_with_part_header(chip, bench):
    image = bytes((i * 7) & 0xFF for i in range(600))
    written = chip.serial_write(0, image, 36)
    assert written[3:] == image[3:]
    assert written[:3] != image[:3]
    assert (written[0] + written[1] + written[2]) & 0xFF == 0xFF
    assert chip.serial_read(0, 600, 36) == written
    assert bench.serial(0, 600) == written
    chip.serial_erase(0, 600, 36)
    assert bench.serial(0, 600) == b"\xff" * 600


def test_direct_flash_access(chip, bench):
    # Flash type 0, the default, passes nothing through: at 0xADDE00 the bytes
    # would have reached the chip as its enter-flash-mode command.
    with pytest.raises(HostApiError) as error:
        chip.flash_write(0xADDE00, b"flash!")
    assert error.value.code == -4
    assert not bench.in_flash_mode()
    chip.set_flash_type(1)
    chip.flash_write(0x2000, b"flash!" * 50)
    assert chip.flash_read(0x2000, 300) == b"flash!" * 50
    assert bench.serial(0x2000, 6) == b"flash!"


def test_reset_drives_the_gpio(chip, bench):
    resets = bench.resets()
    chip.reset(0)
    assert bench.gpio_outputs() == 0x00
    chip.reset(1)
    assert bench.gpio_outputs() == 0xFF
    assert bench.resets() == resets + 1
    # A reset pulse: the chip runs again from its flash afterwards.
    chip.revert_to_flash_settings()
    assert bench.resets() == resets + 2
    assert chip.device_version() == 0x0105


def test_assertion_carries_the_bytes(chip, bench):
    bench.assert_chip(b"\x0b\xad\xf0\x0d")
    with pytest.raises(HostApiError) as error:
        chip.send(b"\xfd\x02\x00\x00\x02\x83")
    assert error.value.code == -5
    assert error.value.detail == "0badf00d"
    assert chip.assert_code() == b"\x40\x0b\xad\xf0\x0d"
    bench.assert_chip(None)
    assert chip.assert_code() is None


def test_chip_that_never_gets_ready_times_out(bench):
    bench.restore(never_ready=True)
    with orvohostapi.open_device(AARDVARK) as chip:
        with pytest.raises(HostApiError) as error:
            chip.device_version()
        assert error.value.code == -1


def test_system_mac_radio_and_battery(chip):
    assert orvohostapi.peer_device_info(2) == (0xCCCCCCCC, 6, 2)
    with pytest.raises(HostApiError):
        orvohostapi.peer_device_info(4)
    assert chip.link_status() == 1
    assert chip.mac_state() == 9
    ratio, bits = chip.bit_error_rate(3, window_ms=100)
    assert bits == 48000 and ratio == pytest.approx(12 / 48000)
    counters, total = chip.mac_stats()
    assert len(counters) == 11 and total == 0x3B3A3938
    assert chip.battery_state(0) == (0x00030002, 3900)
    chip.set_charger_calibration(0, 0x1234, 0x5678)
    assert chip.charger_calibration(0) == (0x1234, 0x5678)
    assert chip.sample_dvm(0, 1, 2, 3) == 123
    ident, _ = chip.device_id()
    assert ident == 0x44332211
    with pytest.raises(HostApiError):
        chip.paired_arbiter_id()  # mode 0 has none
    chip.antenna_diversity(1)
    chip.continuous_transmit(False)
    chip.pair()
    chip.standby()
    with pytest.raises(HostApiError) as error:
        chip.set_tx_power(3)
    assert error.value.code == -2


def test_download_runs_the_image(chip):
    chip.download(bytes(range(256)) * 2)
    # The chip runs it and answers again.
    assert chip.device_version() == 0x0105


def test_long_forms_and_raw_packets(chip):
    data = bytes(range(40))
    assert chip.serial_write_part(0x800, data, 0, 131072, 256, 3, 4096) == data
    assert chip.serial_read_part(0x800, 40, 0, 131072, 256, 3, 4096) == data
    with pytest.raises(HostApiError) as error:
        chip.serial_read_part(0, 4, 2, 131072, 256, 3, 4096)
    assert error.value.code == -4
    answer = chip.transact(b"\xfd\x02\x00\x00\x02\x83")
    assert answer[0] == 0xFE and answer[8:10] == b"\x05\x01"


def test_a_closed_handle_never_closes_the_device_opened_after_it(bench):
    first = orvohostapi.open_device(AARDVARK)
    orvohostapi.shutdown()
    assert not first.is_open
    second = orvohostapi.open_device(AARDVARK)
    first.close()
    assert second.is_open
    assert second.device_version() == 0x0105
    with pytest.raises(HostApiError) as error:
        first.device_version()
    assert error.value.code == -3
    second.close()


def test_memory_beyond_sixteen_bytes_goes_in_pieces(chip, bench):
    data = bytes((i * 11 + 3) & 0xFF for i in range(257))
    chip.poke(0x4000, data)
    assert bench.ram(0x4000, 257) == data
    assert chip.peek(0x4000, 257) == data
    with pytest.raises(ValueError):
        chip.poke(0xFFF0, bytes(17))
    with pytest.raises(ValueError):
        chip.peek(0xFFFF, 2)
    with pytest.raises(HostApiError) as error:
        chip.peek(0x4000, 0)
    assert error.value.code == -4


def test_eeprom_lengths_the_interface_cannot_carry(chip, bench):
    with pytest.raises(ValueError):
        chip.eeprom_write(0x8000, bytes(0x9000))
    with pytest.raises(ValueError):
        chip.eeprom_read(0, 70000)
    assert bench.eeprom(0, 16) == b"\xff" * 16
    # 65,536 bytes: two calls. The bench EEPROM holds 32 KiB and wraps there.
    chip.eeprom_write(0x7FF8, bytes(range(16)))
    data = chip.eeprom_read(0, 0x10000)
    assert len(data) == 0x10000
    assert data[0x7FF8:0x8000] == bytes(range(8))
    assert data[0:8] == bytes(range(8, 16))
    assert data[0x8000:] == data[:0x8000]


def test_a_download_the_interface_cannot_carry_is_refused(chip, bench):
    with pytest.raises(ValueError):
        chip.download(bytes(70000))
    assert not bench.in_flash_mode()
    with pytest.raises(ValueError):
        chip.send(bytes(25))


def test_integer_arguments_outside_their_c_type_are_refused(chip):
    with pytest.raises(ValueError):
        chip.set_timeout(1 << 32)
    with pytest.raises(ValueError):
        chip.sample_dvm(0, 256, 0, 0)
    with pytest.raises(ValueError):
        chip.serial_read(1 << 32, 1, 36)
    with pytest.raises(ValueError):
        chip.peek(0x10, 4, remote=256)
    with pytest.raises(ValueError):
        orvohostapi.peer_device_info(256)


def test_two_threads_each_read_what_their_own_range_holds(chip, bench):
    # ctypes lets go of the interpreter lock for every call: two threads
    # reach the interface at once, whose transfer buffers and the chip's
    # parameter block are one for the process. Each call must still be one
    # call to the chip: a read returns what its own range holds, or fails.
    import threading

    first = bytes((i * 7 + 1) & 0xFF for i in range(64))
    second = bytes((i * 13 + 5) & 0xFF for i in range(64))
    chip.serial_erase(0, 8192, 36)
    chip.serial_write(0x0800, first, 36)
    chip.serial_write(0x1800, second, 36)
    wrong, failed = [], []

    def reader(address, expected):
        for _ in range(25):
            try:
                data = chip.serial_read(address, 64, 36)
            except HostApiError as error:
                failed.append(error.code)
                continue
            if data != expected:
                wrong.append((address, data[:8].hex()))

    threads = [threading.Thread(target=reader, args=(0x0800, first)),
               threading.Thread(target=reader, args=(0x1800, second))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []
    assert failed == []
