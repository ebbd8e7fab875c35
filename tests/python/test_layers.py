import copy
import gc
import pickle
import types

import numpy as np
import pytest

from conftest import input_layer, layer


def test_parameters_read_by_name_alias_and_attribute(core):
    p = core.LayerParams(core.InputData, {"kernel_width": 3, "kernel_height": 5, "stride_x": 1, "stride_y": 2})
    assert p.kernel_size == [3, 5] == p.get("kernel_size") and p.get("kernel_stride") == [1, 2] and p.kernel_width == 3
    assert not p.has("kernel_size") and dir(p) == ["kernel_height", "kernel_width", "stride_x", "stride_y"]
    for missing in (lambda: p.get("units"), lambda: p.units):
        with pytest.raises(ValueError, match="^Key units not found$"):
            missing()
    # Protocol names are AttributeErrors, so copying and pickling take their usual paths.
    assert getattr(p, "__reduce_foo__", None) is None
    for twin in (copy.copy(p), copy.deepcopy(p)):
        assert twin is not p and twin.layer_type == core.InputData and twin.kernel_size == [3, 5]
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(p)


@pytest.mark.parametrize(
    "entries, accepted",
    [({"filters": 3.0}, False), ({"filters": 2147483648}, False), ({1: 2}, False), ([("filters", 3)], False),
     ({b"filters": np.int16(3)}, True), (types.MappingProxyType({"filters": -2147483648}), True)],
)
def test_parameter_entries(core, entries, accepted):
    if accepted:
        assert core.LayerParams(core.Conv2D, entries).has("filters")
    else:
        with pytest.raises(TypeError):
            core.LayerParams(core.Conv2D, entries)


def test_layer_enums(core):
    members = list(core.LayerType.__members__)
    assert members.index("StatefulRecurrent") == members.index("Dense1D") - 1 and int(core.LayerType.Dense1D) == 25
    assert (core.LayerType.Conv2D == 14) is False and int(core.Conv2D) == 14
    assert core.SameUpper is core.Padding.SameUpper and int(core.ActivationType.LUT) == 2 and core.Max is core.PoolType.Max


def test_layers(core, conv_model):
    conv = conv_model.get_layer("conv")
    assert (conv.input_dims, conv.output_dims, conv.output_signed, conv.mapping) == ([4, 4, 2], [4, 4, 4], True, None)
    assert [l.name for l in conv.inbounds] == ["in"]
    with pytest.raises(ValueError):
        layer(core, core.Conv2D, "no filters", kernel_size=3)
    # The parameters and the variables keep their layer alive.
    params = input_layer(core).parameters
    variables = layer(core, core.Conv2D, "c", kernel_size=1, filters=1).variables
    gc.collect()
    assert params.get("input_width") == 4 and variables.names == []


def test_target_component_takes_np_types(core, NP):
    conv = layer(core, core.Conv2D, "c", kernel_size=1, filters=1)
    assert conv.is_target_component(NP.CNP2) and not conv.is_target_component(NP.FNP3)
    with pytest.raises(TypeError):
        conv.is_target_component(None)
