import gc

import numpy as np
import pytest

from conftest import input_layer, layer


@pytest.fixture
def mapped(conv_model, device):
    conv_model._map(device)
    return conv_model


def test_mapped_model_views(core, NP, mapped):
    assert type(mapped.device) is core.Device and mapped.component_count == {NP.CNP1: 1}
    (sequence,) = mapped.sequences
    assert (sequence.name, sequence.backend) == ("HW/in-conv", core.BackendType.Hardware)
    assert [[l.name for l in p.layers] for p in sequence.passes] == [["in", "conv"]]
    parts = sequence.program_parts
    assert parts.program_info + parts.program_data == sequence.program
    needs = core.get_program_memory_infos(sequence.program)
    assert (needs.input_memory, needs.output_memory) == (4 * 4 * 2, 4 * 4 * 4 * 4)
    conv, in_ = mapped.get_layer("conv").mapping, mapped.get_layer("in").mapping
    assert (conv.skipdma_loads, conv.skipdma_stores, in_.nps) == ([], [], [])  # lists, never None


def test_components_of_a_split_layer(core, NP, conv_model, device):
    constraints = core.MapConstraints(device)
    constraints.cnp_max_filters = 2
    conv_model._map(device, constraints=constraints)
    first, second = conv_model.get_layer("conv").mapping.nps
    assert [(c.type, c.filters, c.start_neuron, c.single_buffer) for c in (first, second)] == [
        (NP.CNP1, 2, 0, False), (NP.CNP1, 2, 2, False)]  # fmt: skip
    assert (first.spatial_partition.shape, first.mem_info.weight_size) == ([4, 4, 2], 150) and first != second
    first.ident.col = 9  # the view writes into the component
    assert str(first.ident) == "(9, 0, 0)"


def test_views_outlive_what_they_show(mapped, device):
    sequence = mapped.sequences[0]
    program, parts = sequence.program, sequence.program_parts
    old = mapped.get_layer("conv").mapping
    mapped._map(device)
    assert old.nps[0].ident == mapped.get_layer("conv").mapping.nps[0].ident
    del mapped, sequence
    gc.collect()
    assert parts.program_info + parts.program_data == program


# The layers' mappings are the model's: a sequence kept from an earlier mapping never takes a later
# one away when it goes, and a dropped mapping takes them away whatever sequences are still held.
def test_held_sequences_never_decide_what_the_model_has_mapped(NP, mapped, device):
    held = []
    for _ in range(30):
        mapped._map(device)
        held.append(mapped.sequences)
    while len(held) > 1:
        del held[0]
        assert mapped.component_count == {NP.CNP1: 1}
    program = held[-1][0].program
    mapped.pop_layer()
    assert (mapped.component_count, [l.mapping for l in mapped.layers]) == ({}, [None])
    assert held[-1][0].program == program and [l.name for l in held[-1][0].passes[0].layers] == ["in", "conv"]


def test_program_parts_copy_the_program_once(mapped):
    parts = mapped.sequences[0].program_parts
    # Each part is copied into bytes when the parts are made; reading it again copies nothing.
    assert parts.program_info is parts.program_info and parts.program_data is parts.program_data


# After an input layer, or first in the model (where the program's header carries its scales).
@pytest.mark.parametrize("first", [False, True])
def test_a_quantizer_whose_scales_hold_nan_is_refused_and_nothing_stays_mapped(core, device, failure, first):
    model = core.Model()
    shape = {"input_width": 4, "input_height": 4, "input_channels": 2} if first else {}
    if not first:
        model.add(input_layer(core))
    model.add(layer(core, core.Quantizer, "q", output_bits=8, **shape))
    model.add(layer(core, core.Conv2D, "c", kernel_size=1, filters=2, padding=1))
    model.get_layer("q").variables["scales"] = np.array([1.0, np.nan], np.float32)
    assert failure(lambda: model._map(device)) == (
        RuntimeError,
        "Cannot map layer 'q'. Layer 'q' (Quantizer): variable 'scales' holds NaN at channel 1: "
        "NaN has no integer value.",
    )
    assert model.sequences == [] and [l.mapping for l in model.layers] == [None] * model.layer_count
    model.get_layer("q").variables["scales"] = np.array([1.0, 0.5], np.float32)
    model._map(device)
    assert [s.name for s in model.sequences] == ["HW/q-c" if first else "HW/in-c"]


# A value written on a layer of a mapped model leaves a program that no longer holds the model's
# values: the mapping goes, the next run is the software run, and mapping again reads the new value.
def test_a_variable_written_after_mapping_drops_the_mapping(core, NP, device, failure):
    model = core.Model([input_layer(core), layer(core, core.Quantizer, "q", output_bits=8),
                        layer(core, core.Conv2D, "c", kernel_size=1, filters=2, padding=1)])  # fmt: skip
    model._map(device)
    model.get_layer("c").variables["weights"] = np.full((1, 1, 2, 2), 2, np.int8)
    assert (model.sequences, model.device, [l.mapping for l in model.layers]) == ([], None, [None] * 3)
    assert model.forward(np.ones((1, 4, 4, 2), np.uint8)).shape == (1, 4, 4, 2)  # mapped, it would not run
    model._map(device)
    model.get_layer("q").variables["scales"] = np.array([1.0, np.nan], np.float32)
    assert model.sequences == [] and failure(lambda: model._map(device))[1].endswith(
        "variable 'scales' holds NaN at channel 1: NaN has no integer value.")  # fmt: skip
    # A ReLU ceiling a Dense1D did not hold, written after mapping.
    dense = core.Model([input_layer(core), layer(core, core.Dense1D, "d", units=2, activation=1)])
    fnp = NP.Mesh(core.v2, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), NP.Info.hrc(True),
                  [NP.Info(NP.Ident(1, 0, 0), [NP.FNP3])], [])  # fmt: skip
    dense._map(core.Device(core.HwVersion.Tolmar_v2, fnp))
    dense.get_layer("d").variables["max_value"] = np.full(2, 3, np.uint8)
    assert (dense.sequences, dense.get_layer("d").mapping) == ([], None)
