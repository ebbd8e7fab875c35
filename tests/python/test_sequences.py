import gc

import numpy as np
import pytest

from conftest import layer


# Mapping needs the device classes (Device, NP, MapConstraints).
pytestmark = pytest.mark.skipif("not hasattr(__import__('nuvra.core').core, 'NP')")


@pytest.fixture
def NP(core):
    return core.NP


@pytest.fixture
def device(core, NP):
    """A v2 device with an HRC, two CNPs and a skip DMA."""
    nps = [NP.Info(NP.Ident(1, 0, 0), [NP.CNP1, NP.CNP2]), NP.Info(NP.Ident(1, 0, 1), [NP.CNP1], True)]
    skip = [NP.Info(NP.Ident(2, 0, 0, 1), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])]
    mesh = NP.Mesh(core.v2, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), NP.Info.hrc(True), nps, skip)
    return core.Device(core.HwVersion.Tolmar_v2, mesh)


@pytest.fixture
def mapped(conv_model, device):
    conv_model._map(device)
    return conv_model


def test_mapped_model_views(core, NP, mapped, device):
    assert type(mapped.device) is core.Device and mapped.component_count == {NP.CNP1: 1}
    assert mapped.external_memory_size == 0
    (sequence,) = mapped.sequences
    assert (sequence.name, sequence.backend) == ("HW/in-conv", core.BackendType.Hardware)
    passes = sequence.passes
    assert [[l.name for l in p.layers] for p in passes] == [["in", "conv"]] and sequence.passes is not passes
    parts = sequence.program_parts
    assert parts.program_info + parts.program_data == sequence.program
    assert int.from_bytes(parts.program_info[:4], "little") == len(parts.program_info) - 4
    needs = core.get_program_memory_infos(sequence.program)
    assert (needs.input_memory, needs.output_memory) == (4 * 4 * 2, 4 * 4 * 4 * 4)
    mapping = mapped.get_layer("conv").mapping
    assert [c.type for c in mapping.nps] == [NP.CNP1] and mapping.skipdma_loads == mapping.skipdma_stores == []
    assert mapped.get_layer("in").mapping.nps == []


def test_views_outlive_what_they_show(mapped, device):
    sequence = mapped.sequences[0]
    program, parts = sequence.program, sequence.program_parts
    old = mapped.get_layer("conv").mapping
    mapped._map(device)
    assert old.nps[0].ident == mapped.get_layer("conv").mapping.nps[0].ident
    del mapped, sequence
    gc.collect()
    assert parts.program_info + parts.program_data == program


def test_a_model_mapped_on_a_virtual_device_does_not_run(core, mapped):
    with pytest.raises(RuntimeError, match=r"^An actual hardware device is required\.$"):
        mapped.forward(np.zeros((1, 4, 4, 2), np.uint8))
    mapped.add(layer(core, core.Conv2D, "more", kernel_size=1, filters=1))
    assert mapped.sequences == [] and mapped.device is None
    assert mapped.forward(np.zeros((1, 4, 4, 2), np.uint8)).shape == (1, 4, 4, 1)


def hooks(core):
    class Recording(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            calls.append(layer_name)

    class OnlyTheBinding(core.MapConstraints):
        def next_layer(self, layer_name):
            calls.append(layer_name)

    class Duplicating(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return [source_nps[0]] * num_nps

    class Raising(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            raise KeyError(layer_name)

    calls = []
    return calls, [
        (Recording, None, ["conv"]),
        (OnlyTheBinding, None, []),
        (Duplicating, "Cannot map layer 'conv'. The NPs selected for type CNP1 must be distinct free NPs of that type.", []),
        (Raising, KeyError, []),
    ]


def test_constraint_hooks_during_mapping(core, conv_model, device):
    calls, rows = hooks(core)
    for cls, error, expected in rows:
        calls.clear()
        constraints = cls(device)
        constraints.cnp_max_filters = 2  # conv is split over both CNPs
        if error is None:
            conv_model._map(device, constraints=constraints)
            assert len(conv_model.get_layer("conv").mapping.nps) == 2
        elif error is KeyError:
            with pytest.raises(KeyError):
                conv_model._map(device, False, constraints)
            assert conv_model.sequences == []
        else:
            with pytest.raises(RuntimeError) as raised:
                conv_model._map(device, constraints=constraints)
            assert str(raised.value) == error
        assert calls == expected, cls.__name__
