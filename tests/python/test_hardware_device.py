"""HardwareDevice, SocDriver and boardZr62. The shipped module sees no board; the scenarios below
run each in an interpreter of its own on the test build, whose simulated second-generation boards
are installed before the device list is built."""

import struct

import numpy
import pytest

from conftest import failure_of, make_conv_model

LABELS = "fit method expects integers as labels"
NO_FLASH = (ValueError, "The device does not contain an ZR62 flash")


def test_the_shipped_module_has_no_board(core, v2_mesh, failure):
    assert core.HardwareDevice.devices() == [] == core.HardwareDevice.devices()
    assert not hasattr(core, "_sim") and issubclass(core.HardwareDevice, core.Device)
    virtual = core.Device(core.HwVersion.Tolmar_v2, v2_mesh())
    assert failure(lambda: core.HardwareDevice(core.HwVersion.Tolmar_v2, v2_mesh())) == (
        TypeError, "HardwareDevice objects come from HardwareDevice.devices().")  # fmt: skip
    assert failure(lambda: core.boardZr62.get_flash(None)) == NO_FLASH
    refused = [core.SocDriver, core.boardZr62.SpiFlashController, lambda: core.boardZr62.get_flash(virtual)]
    assert [failure(call)[0] for call in refused] == [TypeError] * 3


def boards(*kinds):
    """The test build of the module, simulated boards of these kinds and their devices."""
    from nuvra import core

    installed = core._sim.install(list(kinds))
    return core, installed, core.HardwareDevice.devices()


def listing():
    core, _, devices = boards("plain", "soc", "flash")
    plain, soc_board, flash_board = again = core.HardwareDevice.devices()
    assert len(devices) == 3 and all(a is b for a, b in zip(devices, again))
    assert plain == devices[0] and plain != soc_board and (plain == 5) is False
    assert failure_of(lambda: hash(plain))[0] is TypeError
    assert (plain.desc, plain.version, plain.ip_version) == ("Tolmar v2 (simulated)", core.HwVersion.Tolmar_v2, core.v2)

    assert plain.soc is None
    soc = soc_board.soc
    soc.clock_mode = core.soc.ClockMode.Economy
    assert soc.clock_mode == core.soc.Economy and int(soc.clock_mode) == 100000000
    assert failure_of(lambda: setattr(soc, "clock_mode", 100000000))[0] is TypeError
    assert (soc.power_measurement_enabled, soc.power_meter) == (False, None)
    soc.power_measurement_enabled = True
    assert soc.power_measurement_enabled and isinstance(soc.power_meter, core.PowerMeter)

    assert failure_of(lambda: core.boardZr62.get_flash(plain)) == NO_FLASH
    flash = core.boardZr62.get_flash(flash_board)
    assert failure_of(flash.get_id) == (RuntimeError, "get_id function is not yet implemented")


def running():
    core, (board,), (device,) = boards("soc")
    board.script_outputs("int32", [1, 1, 10])
    x = (numpy.arange(5 * 8 * 8 * 3) % 251).astype(numpy.uint8).reshape(5, 8, 8, 3)
    out = device.forward(x)
    metrics = device.metrics
    assert (out.shape, out.dtype, board.calls) == ((5, 1, 1, 10), numpy.int32, ["batch 5", "forward 5"])
    assert (out[:, 0, 0] == x.reshape(5, -1).sum(axis=1)[:, None] + numpy.arange(10)).all()
    assert metrics["inference_frames"] == 5
    assert (device.predict(x[:2].astype(numpy.float64)) == out[:2]).all()  # cast without complaint
    assert metrics["inference_frames"] == 2  # the device's own map, not a copy

    board.script_outputs("int32", [1, 1, 10], 0)
    empty = device.forward(x)
    assert (empty.shape, empty.dtype) == ((0,), numpy.float64)
    board.script_outputs("int16", [1, 1, 10])
    assert failure_of(lambda: device.forward(x[:3])) == (RuntimeError, "Unexpected output type.")
    assert metrics["inference_frames"] == 3  # written before the outputs are converted

    board.script_outputs("int32", [1, 1, 10])
    fits = [
        (lambda: device.fit(x, 3.0), [3]),
        (lambda: device.fit(x), []),
        (lambda: device.fit(inputs=x, input_labels=[4, 3, 2, 1, 0]), [4, 3, 2, 1, 0]),
        (lambda: device.fit(x, numpy.array([7], numpy.uint64)), [7]),
    ]
    for fit, labels in fits:
        fit()
        assert board.labels == labels
    refused = [
        (lambda: device.fit(x, 2.5), (ValueError, LABELS)),
        (lambda: device.fit(x, float("nan")), (ValueError, LABELS)),
        (lambda: device.fit(x, 3e9), (ValueError, LABELS)),
        (lambda: device.fit(x, numpy.array([1.0])), (ValueError, LABELS)),
        (lambda: device.fit(x, numpy.array([True])), (ValueError, LABELS)),
        (lambda: device.fit(x, [1.5]), (ValueError, LABELS)),
        (lambda: device.forward(x[0]), (RuntimeError, "Input dimensions are not correct (Should be 4 or 2).")),
        (lambda: device.forward(x[None]), (ValueError, "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).")),
    ]  # fmt: skip
    assert [failure_of(call) for call, _ in refused] == [expected for _, expected in refused]
    not_matched = [lambda: device.fit(x, (1, 2)), lambda: device.fit(x, None), lambda: device.forward(inputs=x)]
    assert [failure_of(call)[0] for call in not_matched] == [TypeError] * 3

    device.soc.power_measurement_enabled = True
    device.forward(x)
    assert [(e.voltage, e.current) for e in device.inference_power_events] == [(800000, 105)]


def programming():
    core, (board,), (device,) = boards("plain")
    model = make_conv_model(core)
    model._map(device)
    program = model.sequences[0].program
    assert device.program is None
    for clocks in (11, 22):
        board.program_clocks = clocks
        device.program = program
        assert (device.program, device.metrics["program_clk"]) == (program, clocks)
    device.unprogram()
    device.program_external(b"info", 4294967295)
    assert board.calls == ["unprogram", "program"] * 2 + ["unprogram", "unprogram", "program_external 4294967295"]
    device.unprogram()
    assert device.program is None
    refused = [lambda: setattr(device, "program", bytearray(program)), lambda: device.program_external(b"", -1),
               lambda: device.program_external(b"", 2**32), lambda: device.program_external(b"", 1.0)]  # fmt: skip
    assert [failure_of(call)[0] for call in refused] == [TypeError] * 4

    board.memory_used, board.memory_top = 4096, 2097152
    assert device.memory == (4096, 2097152)
    device.reset_top_memory()
    assert device.memory == (4096, 4096)

    assert device.learn_mem is None
    board.learn_mem = [1, 2, 3]
    assert device.learn_mem == struct.pack("=3I", 1, 2, 3)
    assert failure_of(lambda: setattr(device, "learn_mem", bytes(8))) == (RuntimeError, "Unexpected input buffer size.")
    device.learn_mem = struct.pack("=3I", 4, 5, 6) + b"\x07\x08"
    assert board.learn_mem == [4, 5, 6]

    calls = len(board.calls)
    for value in (False, numpy.bool_(True), True, None):
        device.learn_enabled = value
    assert board.calls[calls:] == ["learn on", "learn off"] and device.learn_enabled is False
    assert failure_of(lambda: setattr(device, "learn_enabled", [1]))[0] is TypeError


def model_on_hardware():
    core, (board,), (device,) = boards("soc")
    device.soc.power_measurement_enabled = True
    model = make_conv_model(core)
    model._map(device)
    assert model.device is device
    out = model.forward(numpy.ones((2, 4, 4, 2), numpy.uint8))
    assert out.shape[0] == 2 and board.calls == ["program", "batch 2", "forward 2"]
    assert device.program == model.sequences[0].program
    assert {"inference_clk", "program_clk", "inference_frames"} <= set(model.metrics.names)
    assert [(e.voltage, e.current) for e in model.power_events] == [(800000, 102)]


@pytest.mark.parametrize("scenario", [listing, running, programming, model_on_hardware])
def test_on_simulated_boards(on_boards, scenario):
    on_boards(scenario)
