import gc

import numpy as np
import pytest

from conftest import layer


@pytest.fixture
def device(core, v2_mesh):
    return core.Device(core.HwVersion.Tolmar_v2, v2_mesh())


@pytest.fixture
def mapped(conv_model, device):
    conv_model._map(device)
    return conv_model


def test_mapped_model_views(core, NP, mapped):
    assert type(mapped.device) is core.Device and mapped.component_count == {NP.CNP1: 1}
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


def test_constraint_hooks_during_mapping(core, conv_model, device):
    calls = []

    def hooked(**methods):
        return type("Hooked", (core.MapConstraints,), methods)

    def raise_key_error(self, layer_name):
        raise KeyError(layer_name)

    duplicate = "Cannot map layer 'conv'. The NPs selected for type CNP1 must be distinct free NPs of that type."
    rows = [
        (hooked(next_layer_handler=lambda self, name: calls.append(name)), None, ["conv"]),
        (hooked(next_layer=lambda self, name: calls.append(name)), None, []),  # the binding's name: not a hook
        (hooked(select_nps=lambda self, nps, count, type: [nps[0]] * count), RuntimeError, []),
        (hooked(next_layer_handler=raise_key_error), KeyError, []),
    ]
    for cls, error, expected in rows:
        calls.clear()
        constraints = cls(device)
        constraints.cnp_max_filters = 2  # conv is split over both CNPs
        if error is None:
            conv_model._map(device, constraints=constraints)
            assert len(conv_model.get_layer("conv").mapping.nps) == 2
        else:
            with pytest.raises(error) as raised:
                conv_model._map(device, False, constraints)
            assert conv_model.sequences == [] and (error is KeyError or str(raised.value) == duplicate)
        assert calls == expected
