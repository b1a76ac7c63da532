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
    with pytest.raises(HostApiError) as error:
        chip.poke(0x1000, bytes(17))
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
