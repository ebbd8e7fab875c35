import copy
import gc

from conftest import input_layer, layer


def test_parameters_read_by_name_alias_and_attribute(core, failure):
    p = core.LayerParams(core.InputData, {"kernel_width": 3, "kernel_height": 5, "stride_x": 1, "stride_y": 2})
    assert p.kernel_size == [3, 5] == p.get("kernel_size") and p.get("kernel_stride") == [1, 2] and p.kernel_width == 3
    assert not p.has("kernel_size") and dir(p) == ["kernel_height", "kernel_width", "stride_x", "stride_y"]
    assert failure(lambda: p.units) == (ValueError, "Key units not found")
    # Protocol names are AttributeErrors, so copying takes its usual path.
    assert getattr(p, "__reduce_foo__", None) is None
    assert [twin.kernel_size for twin in (copy.copy(p), copy.deepcopy(p))] == [[3, 5], [3, 5]]


def test_layers(core, NP, conv_model):
    conv = conv_model.get_layer("conv")
    assert (conv.input_dims, conv.output_dims, conv.mapping, [l.name for l in conv.inbounds]) == (
        [4, 4, 2], [4, 4, 4], None, ["in"])  # fmt: skip
    assert conv.is_target_component(NP.CNP2) and not conv.is_target_component(NP.FNP3)
    # The parameters and the variables keep their layer alive.
    params = input_layer(core).parameters
    variables = layer(core, core.Conv2D, "c", kernel_size=1, filters=1).variables
    gc.collect()
    assert params.get("input_width") == 4 and variables.names == []


def test_a_name_that_is_not_utf8_is_refused(core, failure):
    params = core.LayerParams(core.InputData, {"input_width": 4, "input_height": 4, "input_channels": 1})
    assert failure(lambda: core.Layer(params, b"fc\xff")) == (ValueError, "A layer name must be valid UTF-8.")
    assert core.Layer(params, "caf\u00e9".encode()).name == "caf\u00e9"


def test_a_parameter_the_kind_does_not_have_is_refused(core, failure):
    params = core.LayerParams(core.Conv2D, {"kernel_size": 3, "filters": 4, "paddding": 1})
    assert failure(lambda: core.Layer(params, "c")) == (
        ValueError, "Layer 'c': Conv2D layers have no parameter 'paddding'.")  # fmt: skip
    # Mended: a bytes key that is not text made every message naming it a UnicodeDecodeError.
    params = core.LayerParams(core.Conv2D, {"kernel_size": 3, "filters": 4, b"pad\xff": 1})
    assert failure(lambda: core.Layer(params, "c")) == (
        ValueError, "Layer 'c': Conv2D layers have no parameter 'pad\\xff'.")  # fmt: skip
    assert failure(lambda: params.get(b"\xfe")) == (ValueError, "Key \\xfe not found")
    assert dir(params) == ["filters", "kernel_size", "pad\\xff"] and params.get(b"pad\xff") == 1


def test_a_pool_size_given_to_a_first_generation_convolution_wins_over_its_alias(core):
    keys = {"kernel_width": 3, "kernel_height": 3, "filters": 2, "pooling_width": 2, "pooling_height": 1}
    plain = core.Layer(core.LayerParams(core.Convolutional, keys), "c").parameters
    given = core.Layer(core.LayerParams(core.Convolutional, {**keys, "pool_size": 3}), "c").parameters
    assert (plain.pool_size, plain.has("pool_size")) == ([2, 1], False)
    assert (given.pool_size, given.get("pool_size"), given.has("pool_size")) == (3, 3, True)


# The kinds as model files and the Python API number them, in their registration order.
LAYER_TYPES = [("Unknown", 0), ("InputData", 1), ("InputConvolutional", 2), ("FullyConnected", 3),
               ("Convolutional", 4), ("SeparableConvolutional", 5), ("Add", 6), ("Concatenate", 12),
               ("Conv2D", 14), ("InputConv2D", 15), ("DepthwiseConv2D", 16), ("Conv2DTranspose", 17),
               ("Dequantizer", 19), ("DepthwiseConv2DTranspose", 20), ("BufferTempConv", 21),
               ("DepthwiseBufferTempConv", 22), ("StatefulRecurrent", 26), ("Dense1D", 25), ("Quantizer", 27),
               ("WispPostProcessing", 28)]  # fmt: skip


def test_layer_types_keep_their_names_values_and_order(core):
    assert [(name, int(value)) for name, value in core.LayerType.__members__.items()] == LAYER_TYPES
    assert all(getattr(core, name) == core.LayerType(value) for name, value in LAYER_TYPES)
    assert core.LayerType(25).name == "Dense1D" and core.Conv2D != 14
