import numpy as np
import pytest

from conftest import input_layer, layer


def test_variables_round_trip_without_casts(conv_model):
    variables = conv_model.get_layer("conv").variables
    weights = variables["weights"]
    assert weights.dtype == np.int8 and weights.shape == (3, 3, 2, 4) and weights.flags.owndata
    weights[0, 0, 0, 0] = 5
    assert variables["weights"][0, 0, 0, 0] == 0  # a copy
    variables["weights"] = weights
    variables["bias"] = np.arange(6, dtype=np.int8)  # another shape is stored as it is
    assert variables["weights"][0, 0, 0, 0] == 5 and variables["bias"].tolist() == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize(
    "value, error, message",
    [
        (np.zeros(4), ValueError, "Unsupported variable type for weights expected int8 received float64"),
        (np.zeros((), np.int8), ValueError, "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"),
        (np.zeros((2, 0, 3), np.int8), RuntimeError, "Cannot have a shape with dimension 1 set to 0"),
    ],
)
def test_variable_writes_refused(conv_model, value, error, message):
    variables = conv_model.get_layer("conv").variables
    with pytest.raises(error) as raised:
        variables["weights"] = value
    assert str(raised.value) == message
    assert variables["weights"].shape == (3, 3, 2, 4)


@pytest.mark.parametrize(
    "kind, entries, name, value",
    [
        ("FullyConnected", {"units": 4}, "act_step", np.ones((4, 1), np.float32)),
        ("FullyConnected", {"units": 4}, "act_step", np.ones((2, 2), np.float32)),
        ("Conv2D", {"kernel_size": 3, "filters": 1}, "weights", np.ones((3, 3, 4), np.int8)),
    ],
)  # fmt: skip
def test_a_written_variable_reads_back_in_the_shape_it_was_written_in(core, kind, entries, name, value):
    model = core.Model([input_layer(core, channels=4), layer(core, getattr(core, kind), "l", **entries)])
    variables = model.get_layer("l").variables
    variables[name] = value
    assert variables[name].shape == value.shape


def test_weights_written_without_their_filter_dimension_run_as_with_it(core):
    weights = (np.arange(36) % 5 - 2).astype(np.int8).reshape(3, 3, 4)
    x = (np.arange(64) % 7).astype(np.uint8).reshape(1, 4, 4, 4)
    outputs = []
    for shape in [(3, 3, 4), (3, 3, 4, 1)]:
        model = core.Model([input_layer(core, channels=4), layer(core, core.Conv2D, "c", kernel_size=3, filters=1,
                                                                   padding=1)])
        variables = model.get_layer("c").variables
        variables["weights"] = weights.reshape(shape)
        variables["output_scales"] = np.ones(1, np.uint8)
        outputs.append(model.forward(x))
    assert np.array_equal(outputs[0], outputs[1]) and outputs[0].any()


@pytest.mark.parametrize(
    "array, bits",
    [(np.array([1.5], np.float32), 0), (np.array([1, -2], np.int8), 2), (np.array([1], np.uint16), 1),
     (np.array([True]), None), (np.zeros(2), None)],
)  # fmt: skip
def test_evaluate_bitwidth(core, failure, array, bits):
    if bits is None:
        assert failure(lambda: core.evaluate_bitwidth(array)) == (
            RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth.")  # fmt: skip
    else:
        assert core.evaluate_bitwidth(array) == bits


@pytest.mark.parametrize("dtype, accepted", [(np.int8, True), (np.uint8, True), (np.int16, True), (np.float32, True),
                                             (np.int32, False), (np.float64, False), (np.bool_, False)])
def test_input_dtypes(conv_model, failure, dtype, accepted):
    x = np.ones((4, 4, 2, 2), dtype).transpose(3, 0, 1, 2)  # a view, not C-contiguous
    if accepted:
        assert conv_model.forward(x).shape == (2, 4, 4, 4)
    else:
        assert failure(lambda: conv_model.forward(x)) == (
            ValueError, "Input dtype should be int8, uint8, int16 or float32.")  # fmt: skip


def test_a_nan_input_is_refused_naming_its_place(conv_model, failure):
    x = np.zeros((2, 4, 4, 2), np.float32)
    x[1, 2, 3, 1] = np.nan
    assert failure(lambda: conv_model.forward(x)) == (
        ValueError, "Input sample 1 holds NaN at x 2, y 3, channel 1: NaN has no integer value.")  # fmt: skip


CEILING_KINDS = {
    "Dense1D": {"units": 10, "activation": 1},
    "InputConv2D": {"kernel_size": 3, "filters": 10, "activation": 1},
    "StatefulRecurrent": {"stateful_channels": 2, "output_channels": 10, "activation": 1},
    "FullyConnected": {"units": 10},
}


# A ReLU ceiling the kind declares but does not hold is added by writing it; anything else a layer
# does not hold stays unknown, and a refused value leaves nothing behind.
@pytest.mark.parametrize(
    "kind, name, value, refusal",
    [
        ("Dense1D", "max_value", np.full(10, 3, np.uint8), None),
        ("InputConv2D", "max_value_shift", np.ones((2, 5), np.uint8), None),
        ("StatefulRecurrent", "max_value", np.full(10, 127, np.uint8), None),
        ("Dense1D", "max_value", np.full(10, 3, np.int8),
         "Unsupported variable type for max_value expected uint8 received int8"),
        ("InputConv2D", "max_value", np.full(3, 3, np.uint8),
         "Layer 'l' (InputConv2D): variable 'max_value' has shape (3), but the layer needs shape (10), "
         "or any shape of 10 values"),
        ("StatefulRecurrent", "max_value_shift", np.zeros((), np.uint8),
         "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"),
        ("Dense1D", "max_values", np.full(10, 3, np.uint8), "Variable max_values not found"),
        ("FullyConnected", "max_value", np.full(10, 3, np.uint8), "Variable max_value not found"),
    ],
)  # fmt: skip
def test_a_relu_ceiling_is_added_by_writing_it(core, failure, kind, name, value, refusal):
    model = core.Model([input_layer(core, channels=3), layer(core, getattr(core, kind), "l", **CEILING_KINDS[kind])])
    variables = model.get_layer("l").variables
    names = variables.names
    assert name not in names and failure(lambda: variables[name]) == (ValueError, f"Variable {name} not found")
    if refusal is None:
        variables[name] = value
        assert variables.names == names + [name] and np.array_equal(variables[name], value)
        return
    with pytest.raises(ValueError) as raised:
        variables[name] = value
    assert str(raised.value) == refusal and variables.names == names
