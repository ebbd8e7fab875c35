"""HardwareDevice, SocDriver and boardZr62. The shipped module sees no board; the scenarios below
run each in an interpreter of its own on the test build, whose simulated second-generation boards
are installed before the device list is built."""

import struct

import numpy
import pytest

from conftest import failure_of, make_conv_model

LABELS = (ValueError, "fit method expects integers as labels")
NO_FLASH = (ValueError, "The device does not contain an ZR62 flash")


def test_the_shipped_module_has_no_board(core, v2_mesh, failure):
    assert core.HardwareDevice.devices() == [] and not hasattr(core, "_sim")
    assert failure(lambda: core.HardwareDevice(core.HwVersion.Tolmar_v2, v2_mesh())) == (
        TypeError, "HardwareDevice objects come from HardwareDevice.devices().")  # fmt: skip
    assert failure(lambda: core.boardZr62.get_flash(None)) == NO_FLASH


def boards(*kinds):
    """The test build of the module, simulated boards of these kinds and their devices."""
    from nuvra import core

    installed = core._sim.install(list(kinds))
    return core, installed, core.HardwareDevice.devices()


def listing():
    core, _, devices = boards("plain", "soc", "flash")
    plain, soc_board, flash_board = core.HardwareDevice.devices()
    assert all(a is b for a, b in zip(devices, [plain, soc_board, flash_board])) and plain != soc_board
    assert (plain.desc, plain.version, plain.soc) == ("Tolmar v2 (simulated)", core.HwVersion.Tolmar_v2, None)
    soc = soc_board.soc
    soc.clock_mode = core.soc.Economy
    assert soc.clock_mode == core.soc.Economy and (soc.power_measurement_enabled, soc.power_meter) == (False, None)
    soc.power_measurement_enabled = True
    assert isinstance(soc.power_meter, core.PowerMeter)
    assert failure_of(lambda: core.boardZr62.get_flash(plain)) == NO_FLASH
    assert isinstance(core.boardZr62.get_flash(flash_board), core.boardZr62.SpiFlashController)


def running():
    core, (board,), (device,) = boards("soc")
    board.script_outputs("int32", [1, 1, 10])
    x = (numpy.arange(5 * 8 * 8 * 3) % 251).astype(numpy.uint8).reshape(5, 8, 8, 3)
    out = device.forward(x)
    metrics = device.metrics
    assert (out.shape, out.dtype, board.calls) == ((5, 1, 1, 10), numpy.int32, ["batch 5", "forward 5"])
    assert (out[:, 0, 0] == x.reshape(5, -1).sum(axis=1)[:, None] + numpy.arange(10)).all()
    assert (device.predict(x[:2].astype(numpy.float64)) == out[:2]).all()  # cast without complaint
    assert metrics["inference_frames"] == 2  # the device's own map, not a copy
    board.script_outputs("int16", [1, 1, 10])
    assert failure_of(lambda: device.forward(x[:3])) == (RuntimeError, "Unexpected output type.")
    assert metrics["inference_frames"] == 3  # written before the outputs are converted

    board.script_outputs("int32", [1, 1, 10])
    fits = [(lambda: device.fit(x, 16777217.0), [16777217]),  # not rounded through a 32-bit float
            (lambda: device.fit(inputs=x, input_labels=[4, 3, 2, 1, 0]), [4, 3, 2, 1, 0]),
            (lambda: device.fit(x, numpy.array([7], numpy.uint64)), [7])]  # fmt: skip
    for fit, labels in fits:
        fit()
        assert board.labels == labels
    refused = [lambda: device.fit(x, 2.5), lambda: device.fit(x, numpy.array([1.0])),
               lambda: device.fit(x, numpy.array([True])), lambda: device.fit(x, [1.5])]  # fmt: skip
    assert [failure_of(call) for call in refused] == [LABELS] * len(refused)

    device.soc.power_measurement_enabled = True
    meter = device.soc.power_meter
    assert meter.floor is None
    device.forward(x)
    assert [(e.voltage, e.current) for e in device.inference_power_events] == [(800000, 105)]
    assert ([(e.voltage, e.current, e.power) for e in meter.events()], meter.floor) == ([(800000, 105, 84)], 84.0)


def model_on_hardware():
    core, (board,), (device,) = boards("soc")
    device.soc.power_measurement_enabled = True
    board.program_clocks = 22
    model = make_conv_model(core)
    model._map(device)
    assert model.device is device and device.program is None
    assert model.forward(numpy.ones((2, 4, 4, 2), numpy.uint8)).shape[0] == 2
    assert (device.program, model.metrics["program_clk"]) == (model.sequences[0].program, 22)
    assert [(e.voltage, e.current) for e in model.power_events] == [(800000, 102)]
    board.program_clocks = 11
    device.program = device.program
    assert device.metrics["program_clk"] == 11
    device.program_external(b"info", 4294967295)
    device.unprogram()
    assert board.calls == ["program", "batch 2", "forward 2", "unprogram", "program", "unprogram",
                           "program_external 4294967295", "unprogram"]  # fmt: skip
    assert (device.program, device.learn_mem) == (None, None)

    board.memory_used, board.memory_top = 4096, 2097152
    assert device.memory == (4096, 2097152)
    device.reset_top_memory()
    assert device.memory == (4096, 4096)

    board.learn_mem = [1, 2, 3]
    assert device.learn_mem == struct.pack("=3I", 1, 2, 3)
    assert failure_of(lambda: setattr(device, "learn_mem", bytes(8))) == (RuntimeError, "Unexpected input buffer size.")
    device.learn_mem = struct.pack("=3I", 4, 5, 6) + b"\x07\x08"
    assert board.learn_mem == [4, 5, 6]
    calls = len(board.calls)
    for value in (False, numpy.bool_(True), True, None):
        device.learn_enabled = value
    assert board.calls[calls:] == ["learn on", "learn off"] and device.learn_enabled is False


@pytest.mark.parametrize("scenario", [listing, running, model_on_hardware])
def test_on_simulated_boards(on_boards, scenario):
    on_boards(scenario)
