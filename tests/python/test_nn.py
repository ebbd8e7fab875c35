import numpy as np
import pytest


def ones(dtype, *shape):
    return np.ones(shape, dtype)


def I32(*shape):
    return ones(np.int32, *shape)


def I8(*shape):
    return ones(np.int8, *shape)


# One valid call per function and the element type of its result.
CALLS = [
    ("lshift", lambda c: ([1, 2], ones(np.uint8, 1), 8), np.int32),
    ("shift", lambda c: ([1, 2], [1], 8), np.int32),
    ("shift_out", lambda c: ([1, 2], [1], 8), np.int32),
    ("matmul", lambda c: (I32(1, 2), I32(2, 1), 16, False), np.int32),
    ("add", lambda c: ([1, 2], [3, 4], 8), np.int32),
    ("concatenate", lambda c: (I32(1, 1), I32(1, 2)), np.int32),
    ("scale_out", lambda c: ([4], ones(np.uint16, 1), [1], 8, 1), np.int32),
    ("conv2d", lambda c: (I32(3, 3, 1), I8(1, 1, 1, 1), 1, c.Valid, 8), np.int32),
    ("input_conv2d", lambda c: (ones(np.uint8, 3, 3, 1), I8(1, 1, 1, 1), 1, c.Same, 0, 7), np.int32),
    ("conv2d_transpose", lambda c: (I32(4, 6, 1), I8(3, 3, 1, 1), 2), np.int32),
    ("dequantize", lambda c: ([4], ones(np.float32, 1)), np.float32),
    ("depthwise_conv2d", lambda c: (I32(3, 3, 1), I8(3, 3, 1), 1), np.int32),
    ("relu_activation", lambda c: ([-1, 5], [3]), np.int32),
    ("look_up", lambda c: ([0, 1], [10, 20]), np.int32),
    ("global_average_pooling", lambda c: (I32(2, 2, 1), 8), np.int32),
    ("max_pooling", lambda c: (I32(4, 4, 1), 2, 2, 2, 2, c.Valid, 8), np.int32),
    ("fifo_op", lambda c: (I8(2, 1), I8(1)), np.int8),
    ("depth_conv_like_op", lambda c: (I32(2, 1), I8(2, 1), 8), np.int32),
    ("stateful_main_op", lambda c: ([1], [0], [1], [1], [1], [0], 16, 0), np.int32),
    ("subsampling_op", lambda c: (I32(2, 2, 1), 2), np.int32),
    ("wisppostprocessing_op", lambda c: (ones(np.int16, 1), [0], [256], 8, False), np.int16),
]


@pytest.mark.parametrize("name, args, dtype", CALLS, ids=[c[0] for c in CALLS])
def test_arrays_in_and_out(core, name, args, dtype):
    result = getattr(core.nn, name)(*args(core))
    for array in result if name == "stateful_main_op" else (result,):
        assert isinstance(array, np.ndarray) and array.dtype == dtype and array.flags.owndata
    with pytest.raises(ValueError) as raised:
        getattr(core.nn, name)(np.zeros((1,) * 5, np.int32), *args(core)[1:])
    assert str(raised.value) == "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"


def test_what_passes_to_the_kernels(core):
    nn = core.nn
    # uint16 scales stay uint16; any other scales are force-cast to uint8.
    for scales, scale in [(np.array([300], np.uint16), 300), (np.array([300]), 44), (np.array([2.7]), 2)]:
        assert nn.scale_out([1], scales, [0], 16, 1).tolist() == [scale]
    # The first pool size is read as uint8 and handed on as int8.
    assert str(pytest.raises(ValueError, nn.max_pooling, I32(4, 4, 1), 200, 2, 2, 2, core.Same, 8).value) == (
        "max_pooling: pool sizes must be positive (got -56 and 2)")  # fmt: skip
    # The kernels update copies: the caller's fifo and states stay as they were.
    fifo, re, im = np.array([[1], [2]], np.int8), np.array([5], np.int32), np.array([7], np.int32)
    assert nn.fifo_op(fifo, np.array([3], np.int8)).tolist() == [[2], [3]] and fifo.tolist() == [[1], [2]]
    nn.stateful_main_op([1], [0], re, im, [1], [0], 16, 0)
    assert (re[0], im[0]) == (5, 7)
    pytest.raises(TypeError, nn.conv2d, I32(3, 3, 1), I8(1, 1, 1, 1), 1, None, 8)  # refused before the call
