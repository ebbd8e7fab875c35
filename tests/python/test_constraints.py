import gc

import pytest


@pytest.fixture
def device(core, NP):
    def make(version=core.HwVersion.Tolmar_v2, ip=core.v2):
        return core.Device(version, NP.Mesh(ip, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, []))

    return make


def test_properties_convert_and_refuse(core, device, failure):
    wisp = core.MapConstraints(device=device(core.HwVersion.Wisp_Tolmar, core.wisp))
    assert failure(lambda: setattr(wisp, "cnp_max_width", 1)) == (
        ValueError,
        "CNP max width should be <= 0. Receives 1.",
    )
    assert (wisp.cnp_max_width, wisp.cnp_max_filters_default) == (0, 0)
    assert type(wisp.device) is core.Device and wisp.device.desc == "VirtualDevice/BC.B1.001.000"
    assert failure(lambda: core.MapConstraints(None)) == (ValueError, "Invalid device passed to MapConstraints.")
    v2 = core.MapConstraints(device())
    v2.cnp_max_height, v2.hwpr_loopitself = 0, 1
    assert (v2.cnp_max_height, v2.hwpr_loopitself, v2.cnp_max_width) == (0, True, 64)
    for value in (-1, 2**32, 1.5):
        assert failure(lambda: setattr(v2, "cnp_max_filters", value))[0] is TypeError


def test_plain_select_nps(core, NP, device):
    constraints = core.MapConstraints(device())
    a, b, c = NP.Ident(1, 0, 0), NP.Ident(2, 0, 0), NP.Ident(3, 0, 0)
    assert constraints.select_nps([a, b, c], 2, NP.CNP1) == [a, b]
    assert constraints.select_nps(source_nps=(a, b, c), num_nps=5, type=NP.CNP1) == [a, b, c]
    assert constraints.next_layer("x") is None


@pytest.fixture
def subclass(core):
    class Reversing(core.MapConstraints):
        """Picks from the end through the base, and records what the mapper tells it."""

        def __init__(self, device):
            super().__init__(device)
            self.calls = []

        def select_nps(self, source_nps, num_nps, type):
            self.calls.append(type)
            return core.MapConstraints.select_nps(self, source_nps[::-1], num_nps, type)

        def next_layer_handler(self, layer_name):
            self.calls.append(layer_name)

    return Reversing


def test_subclass_overrides_reach_python(NP, device, subclass):
    constraints = subclass(device())
    a, b, c = NP.Ident(1, 0, 0), NP.Ident(2, 0, 0), NP.Ident(3, 0, 0)
    assert constraints.select_nps([a, b, c], 2, NP.CNP2) == [c, b]
    constraints.next_layer("conv1")
    assert constraints.calls == [NP.CNP2, "conv1"]


def test_a_subclass_held_only_by_cpp_keeps_its_overrides(NP, device, subclass, probe):
    constraints = subclass(device())
    calls = constraints.calls
    probe.hold(constraints)
    del constraints
    gc.collect()
    assert probe.held_select_nps([NP.Ident(1, 0, 0), NP.Ident(2, 0, 0)], 1, NP.CNP1) == [NP.Ident(2, 0, 0)]
    probe.held_next_layer("conv2")
    assert calls == [NP.CNP1, "conv2"]
    probe.hold(None)


def test_override_errors_reach_the_caller(core, NP, device, probe, failure):
    class Broken(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return [1]

        def next_layer(self, layer_name):  # not the hook's name: never called
            raise AssertionError(layer_name)

    probe.hold(Broken(device()))
    assert failure(lambda: probe.held_select_nps([NP.Ident(1, 0, 0)], 1, NP.CNP1))[0] is RuntimeError
    probe.held_next_layer("conv3")
    probe.hold(None)
