import pytest


def test_metrics(probe, failure):
    metrics = probe.metrics({"inference_clk": 2**40, "inference_start": -1})
    assert sorted(metrics.names) == ["inference_clk", "inference_start"]
    assert (metrics["inference_clk"], metrics["inference_start"], probe.metrics({}).names) == (2**40, -1, [])
    assert failure(lambda: metrics["inference_fps"]) == (ValueError, "inference_fps : no such metrics")
    assert failure(lambda: metrics[1])[0] is TypeError


@pytest.mark.parametrize(
    "voltage, current, power", [(800000, 250, 200), (999, 1000, 0), (2**32 - 1, 2**32 - 1, 18446744065119)]
)
def test_power_event(probe, voltage, current, power):
    (event,) = probe.power_meter([(7, voltage, current)]).events()
    assert (event.ts, event.voltage, event.current, event.power) == (7, voltage, current, power)


def test_power_meter_and_classes_python_cannot_make(core, probe, failure):
    assert probe.power_meter([]).floor is None
    meter = probe.power_meter([(1, 1500000, 4), (2, 1500000, 2)])
    assert meter.floor == 3.0
    assert [e.ts for e in meter.events()] == [e.ts for e in meter.events()] == [1, 2]
    for make in (core.Metrics, core.PowerEvent, core.PowerMeter, core.ProgramMemoryRequired):
        assert failure(make)[0] is TypeError


def test_program_memory_infos_takes_bytes_only(core, failure):
    assert failure(lambda: core.get_program_memory_infos(b"\x07\x00\x00\x00abc"))[0] is ValueError
    for argument in (bytearray(b"abc"), memoryview(b"abc"), "abc", None):
        assert failure(lambda: core.get_program_memory_infos(argument))[0] is TypeError
    assert failure(lambda: core.get_program_memory_infos(program=b""))[0] is TypeError
