import numpy as np
import pytest


def test_variables_round_trip_without_casts(conv_model):
    variables = conv_model.get_layer("conv").variables
    weights = variables["weights"]
    assert weights.dtype == np.int8 and weights.shape == (3, 3, 2, 4)
    weights[0, 0, 0, 0] = 5
    assert variables["weights"][0, 0, 0, 0] == 0  # a copy
    variables["weights"] = weights
    assert variables["weights"][0, 0, 0, 0] == 5
    variables["bias"] = np.arange(6, dtype=np.int8)  # another shape is stored as it is
    assert variables["bias"].tolist() == [0, 1, 2, 3, 4, 5]
    assert variables["weights"].flags.owndata


@pytest.mark.parametrize(
    "value, error, message",
    [
        (np.zeros(4), ValueError, "Unsupported variable type for weights expected int8 received float64"),
        (np.zeros(4, np.int32), ValueError, "Unsupported variable type for weights expected int8 received int32"),
        (np.int8(1), TypeError, None),
        ([1, 2], TypeError, None),
        (np.zeros((), np.int8), ValueError, "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"),
        (np.zeros((1,) * 5, np.int8), ValueError, "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"),
        (np.zeros((2, 0, 3), np.int8), RuntimeError, "Cannot have a shape with dimension 1 set to 0"),
    ],
)
def test_variable_writes_refused(conv_model, value, error, message):
    variables = conv_model.get_layer("conv").variables
    with pytest.raises(error) as raised:
        variables["weights"] = value
    if message is not None:
        assert str(raised.value) == message
    assert variables["weights"].shape == (3, 3, 2, 4)


def test_unknown_variable(conv_model):
    with pytest.raises(ValueError, match="Variable nothing not found"):
        conv_model.get_layer("conv").variables["nothing"]


@pytest.mark.parametrize(
    "array, bits",
    [
        (np.array([1.5, -300], np.float32), 0),
        (np.array([1, -2], np.int8), 2),
        (np.array([255], np.uint8), 8),
        (np.array([[-32768]], np.int16), 16),
        (np.array([70000], np.int32), 18),
        (np.array([1], np.uint16), 1),
    ],
)
def test_evaluate_bitwidth(core, array, bits):
    assert core.evaluate_bitwidth(array) == bits


def test_evaluate_bitwidth_refusals(core):
    for array in (np.array([True]), np.zeros(2), np.zeros(2, np.int64)):
        with pytest.raises(RuntimeError, match=r"^Wrong py::array type: cannot evaluate the bitwidth\.$"):
            core.evaluate_bitwidth(array)
    with pytest.raises(TypeError):
        core.evaluate_bitwidth([1, 2])


@pytest.mark.parametrize("dtype", [np.int32, np.float64, np.uint16, np.bool_])
def test_inputs_of_other_dtypes_are_refused(conv_model, dtype):
    with pytest.raises(ValueError, match=r"^Input dtype should be int8, uint8, int16 or float32\.$"):
        conv_model.forward(np.zeros((1, 4, 4, 2), dtype))


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.float32])
def test_inputs_of_accepted_dtypes(conv_model, dtype):
    x = np.ones((4, 4, 2, 2), dtype).transpose(3, 0, 1, 2)  # a view, not C-contiguous
    out = conv_model.forward(x)
    assert out.shape == (2, 4, 4, 4) and out.dtype == np.int32
    with pytest.raises(TypeError):
        conv_model.forward(x.tolist())
