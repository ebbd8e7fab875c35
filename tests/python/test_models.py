import gc
import os

import numpy as np
import pytest

from conftest import input_layer, layer


def test_empty_model(core, failure):
    model = core.Model(layers=())
    assert (model.layers, model.input_shape, model.component_count, model.device) == ([], [], {}, None)
    assert failure(lambda: model.forward(np.zeros((1, 4), np.uint8))) == (
        ValueError, "Cannot perform an inference on a model with no layers")  # fmt: skip


def test_layers_from_another_model(core, conv_model, failure):
    conv = conv_model.get_layer("conv")
    assert [l.name for l in core.Model(l for l in [conv]).layers] == ["InputData", "conv"]
    d = layer(core, core.Conv2D, "d", kernel_size=1, filters=2)
    assert failure(lambda: conv_model.add(d, [None])) == (
        TypeError, "add(): inbound_layers must hold Layer objects, not None")  # fmt: skip
    for none in (lambda: conv_model.add(None), lambda: conv_model.compile(None)):
        assert failure(none)[0] is TypeError
    conv_model.add(d, inbound_layers={conv})
    assert conv_model.get_layer(2).name == "d" and conv_model.get_layer(b"in").name == "in"
    del conv_model
    gc.collect()
    assert conv.name == "conv" and conv.variables["weights"].shape == (3, 3, 2, 4)


def test_a_model_rebuilt_from_layers_computes_the_same(core):
    # Unsigned bytes of 128 and above reach the rebuilt model's convolution as they reach the source's.
    source = core.Model()
    source.add(layer(core, core.InputData, "in", input_width=2, input_height=2, input_channels=1))
    conv = layer(core, core.Conv2D, "conv", kernel_size=1, filters=1, output_bits=16)
    source.add(conv)
    conv.variables["weights"] = np.ones((1, 1, 1, 1), np.int8)
    conv.variables["output_scales"] = np.ones(1, np.uint8)
    x = np.array([100, 200, 128, 255], np.uint8).reshape(1, 2, 2, 1)
    assert core.Model([conv]).forward(x).ravel().tolist() == source.forward(x).ravel().tolist() == [100, 200, 128, 255]


def snappy_literals(data):
    """A model file image of `data` as one raw snappy block of literals, then zeros."""
    n, block = len(data), bytearray()
    while True:  # the length preamble, 7 bits a byte
        block.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            break
    for at in range(0, len(data), 256):  # literals of up to 256 bytes: tag 60 << 2, then length - 1
        chunk = data[at:at + 256]
        block += bytes([60 << 2, len(chunk) - 1]) + chunk
    return bytes(block) + bytes(32 + len(data) + len(data) // 6 - len(block))


def test_a_model_file_with_a_name_that_is_not_utf8_is_refused_at_load(core, conv_model, failure, tmp_path):
    buffer = conv_model.to_buffer()
    path = tmp_path / "m.fbz"
    path.write_bytes(snappy_literals(buffer))
    assert [l.name for l in core.Model(str(path)).layers] == ["in", "conv"]
    path.write_bytes(snappy_literals(buffer.replace(b"conv", b"co\xffv")))
    assert failure(lambda: core.Model(str(path))) == (
        ValueError, "Invalid model buffer: layer 1: the name is not valid UTF-8.")  # fmt: skip


def test_model_files(core, conv_model, failure, tmp_path):
    path = tmp_path / "m.fbz"
    conv_model.save(str(path))
    for name in (str(path), os.fsencode(path), bytearray(os.fsencode(path))):
        assert core.Model(name).to_buffer() == conv_model.to_buffer()
    # A NUL byte would end the path at `path`.
    for call in (lambda: core.Model(f"{path}\0.fbz"), lambda: core.Model([]).save(f"{path}\0.fbz")):
        assert failure(call) == (ValueError, "The model path holds a NUL byte.")
    assert failure(lambda: conv_model.save("")) == (ValueError, "Unable to open file for saving model: ")
    assert core.Model(str(path)).to_buffer() == conv_model.to_buffer()


def test_runs_and_their_metrics(conv_model, failure):
    x = np.arange(2 * 32, dtype=np.uint8).reshape(2, 4, 4, 2) % 5
    assert conv_model.forward(x, batch_size=1).shape == (2, 4, 4, 4) and conv_model.predict(x).dtype == np.float32
    metrics = conv_model.metrics
    assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
    del conv_model
    gc.collect()
    assert metrics["inference_frames"] == 2 and metrics["inference_end"] >= metrics["inference_start"]
    assert failure(lambda: metrics["inference_fps"]) == (ValueError, "inference_fps : no such metrics")


# One row per overload of fit (a number, an array, a list); labels that are not integers are refused.
@pytest.mark.parametrize(
    "labels, accepted",
    [(3.0, True), (np.array([3], np.uint64), True), ([3], True), (2.5, False), (np.array([1.0]), False),
     ([1.5], False)],
)  # fmt: skip
def test_fit_labels(learner, failure, labels, accepted):
    x = np.ones((1, 2, 2, 3), np.uint8)
    if accepted:
        assert learner.fit(x, labels).shape == (1, 1, 1, 10)
    else:
        assert failure(lambda: learner.fit(x, labels)) == (TypeError, "fit method expects integers as labels")


def test_evaluate(learner, failure):
    x = np.ones((2, 2, 2, 3), np.uint8)
    labels = np.array([0, 1], np.int32)
    assert learner.evaluate(x, labels, num_classes=2) == 0.5  # fresh weights: equal potentials, the lower class
    refused = [(labels.reshape(2, 1), "Labels must be 1-D."), (labels.astype(np.int64), "Labels must be int32."),
               (labels[:1], "Inputs and labels must have the same size.")]  # fmt: skip
    assert [failure(lambda: learner.evaluate(x, given, 2)) for given, _ in refused] == [
        (ValueError, message) for _, message in refused]  # fmt: skip
    metrics = {name: learner.metrics[name] for name in learner.metrics.names}
    assert failure(lambda: learner.evaluate(x[:1], labels[:1], 1)) == (ValueError, "Cannot classify with 1class(es).")
    assert failure(lambda: learner.evaluate(x[:1], labels[:1], 3)) == (
        ValueError, "The number of neurons [10] is not a multiple of  the number of classes [3].")  # fmt: skip
    assert {name: learner.metrics[name] for name in learner.metrics.names} == metrics  # refused before running


def test_add_classes_keeps_what_the_learning_layer_reads(core, learner, failure):
    side = core.Model()  # "side" stands before fc, which reads "in" as the learner's fc does
    side.add(input_layer(core, 2, 2, 3))
    side.add(layer(core, core.FullyConnected, "side", units=12))
    side.add(layer(core, core.FullyConnected, "fc", units=10), [side.get_layer("in")])
    side.compile(core.NuvraUnsupervised(4, num_classes=10))
    before = side.to_buffer()
    assert failure(lambda: side.add_classes(0)) == (ValueError, "The number of classes to add must be positive.")
    assert side.to_buffer() == before
    x = np.arange(12, dtype=np.uint8).reshape(1, 2, 2, 3)
    for model in (learner, side):
        model.get_layer("fc").variables["weights"] = (np.arange(120) % 3 == 0).astype(np.int8).reshape(10, 12, 1, 1)
        model.add_classes(2)
    fc = side.get_layer("fc")
    assert [l.name for l in fc.inbounds] == ["in"] and fc.output_dims == learner.get_layer("fc").output_dims
    assert np.array_equal(side.forward(x), learner.forward(x)) and side.forward(x).any()


SHAPE = {"input_width": 2, "input_height": 2, "input_channels": 2}


def quantizer_first(core, rest, twin=False, **entries):
    """A Quantizer given the input shape, then `rest`; with `twin`, the same model behind an InputData of
    16 signed bits (wide enough to clip no sample), as it had to be written before."""
    q = layer(core, core.Quantizer, "q", output_bits=8, **entries, **({} if twin else SHAPE))
    head = [layer(core, core.InputData, "in", input_bits=16, input_signed=1, **SHAPE)] if twin else []
    model = core.Model(head + [q] + rest)
    model.get_layer("q").variables["scales"] = np.array([2.0, 0.5], np.float32)
    model.get_layer("q").variables["zero_points"] = np.array([1, 3], np.uint8)
    return model


FIRST_QUANTIZER_REFUSAL = ("Layer 'x' needs an inbound layer, and the model has none: add an input layer first. "
                           "A Quantizer given 'input_width', 'input_height' and 'input_channels' is an input layer.")


def test_a_quantizer_given_an_input_shape_is_the_first_layer(core, failure):
    model = core.Model()
    model.add(layer(core, core.Quantizer, "q", **SHAPE))
    model.add(layer(core, core.Conv2D, "c", kernel_size=1, filters=2))
    built = core.Model(model.layers)  # no InputData is put in front of an input layer
    assert [[l.name for l in m.layers] for m in (model, built)] == [["q", "c"]] * 2
    assert built.input_shape == [2, 2, 2] and built.get_layer("q").variables.names == ["scales", "zero_points"]
    refused = [
        (lambda: layer(core, core.Quantizer, "x", input_width=2),
         "Layer 'x': parameter 'input_height' is required for Quantizer layers given an input shape."),
        (lambda: layer(core, core.Quantizer, "x", input_width=2, input_height=2),
         "Layer 'x': parameter 'input_channels' is required for Quantizer layers given an input shape."),
        (lambda: model.add(layer(core, core.Quantizer, "x", **SHAPE), [model.get_layer("q")]),
         "Layer 'x': an input layer takes no inbound layers."),
        (lambda: core.Model().add(layer(core, core.Quantizer, "x")), FIRST_QUANTIZER_REFUSAL),
        (lambda: core.Model([layer(core, core.Quantizer, "x"), layer(core, core.Conv2D, "c", kernel_size=1, filters=2)]),
         FIRST_QUANTIZER_REFUSAL),
    ]  # fmt: skip
    assert [failure(call) for call, _ in refused] == [(ValueError, message) for _, message in refused]
    assert model.layer_count == 2
    # A Quantizer without a shape, taken from a built model, still gets an InputData in front.
    b = core.Model([input_layer(core), layer(core, core.Quantizer, "x"), layer(core, core.Conv2D, "c", kernel_size=1,
                                                                               filters=2)])
    assert [l.parameters.layer_type for l in core.Model(b.layers[1:]).layers] == [
        core.InputData, core.Quantizer, core.Conv2D]  # fmt: skip


# Samples of each input type, with values an InputData of 8 bits would clip.
SAMPLES = [np.array([1.5, -2.25, 3, 100, 0.1, 7, -300, 9.5], np.float32),
           np.array([0, 255, 3, 128, 7, 200, 1, 9], np.uint8),
           np.array([-32768, 32767, -3, 300, 7, -200, 1, 9], np.int16)]  # fmt: skip


@pytest.mark.parametrize("x", [s.reshape(1, 2, 2, 2) for s in SAMPLES], ids=lambda x: x.dtype.name)
def test_a_first_quantizer_runs_as_an_input_layer_and_a_quantizer(core, x):
    def conv():
        return layer(core, core.Conv2D, "c", kernel_size=1, filters=2, output_bits=16, padding=1)

    models = [quantizer_first(core, [conv()], twin) for twin in (False, True)]
    for m in models:
        m.get_layer("c").variables["weights"] = np.array([1, 0, 0, 1], np.int8).reshape(1, 1, 2, 2)
        m.get_layer("c").variables["output_scales"] = np.ones(2, np.uint8)
    first, twin = models
    assert np.array_equal(first.forward(x), twin.forward(x)) and np.array_equal(first.predict(x), twin.predict(x))
    if x.dtype == np.float32:  # rounded half away from zero, then the zero point, saturated to 8 signed bits
        assert first.forward(x).ravel().tolist() == [4, 2, 7, 53, 1, 7, -128, 8]
    for label in (0, 1):
        labels = np.array([label], np.int32)
        assert first.evaluate(x, labels, num_classes=2) == twin.evaluate(x, labels, num_classes=2)


@pytest.mark.parametrize("x", [np.tile(s, 3).reshape(3, 2, 2, 2) for s in SAMPLES], ids=lambda x: x.dtype.name)
def test_a_first_quantizer_learns_as_behind_an_input_layer(core, x):
    def fc():
        return layer(core, core.FullyConnected, "fc", units=4, weights_bits=1, activation=1, act_bits=1)

    models = [quantizer_first(core, [fc()], twin, output_signed=0) for twin in (False, True)]
    for m in models:
        m.get_layer("fc").variables["weights"] = np.array([1, 1, 0, 0, 0, 0, 1, 1] * 4, np.int8).reshape(4, 8, 1, 1)
        m.compile(core.NuvraUnsupervised(2, num_classes=2))
    first, twin = models
    labels = np.array([0, 1, 0], np.int32)
    assert np.array_equal(first.fit(x, labels), twin.fit(x, labels))
    learned = [m.get_layer("fc").variables["weights"] for m in models]
    assert np.array_equal(*learned) and not np.array_equal(learned[0], np.array([1, 1, 0, 0, 0, 0, 1, 1] * 4))


def test_a_first_quantizer_refuses_a_nan_sample(core, failure):
    model = quantizer_first(core, [])
    x = np.zeros((1, 2, 2, 2), np.float32)
    x[0, 1, 0, 1] = np.nan
    assert failure(lambda: model.forward(x)) == (
        ValueError, "Input sample 0 holds NaN at x 1, y 0, channel 1: NaN has no integer value.")  # fmt: skip


def test_a_first_quantizer_survives_its_model_file(core, tmp_path):
    model = quantizer_first(core, [], channels_first=1)
    path = tmp_path / "q.fbz"
    model.save(str(path))
    loaded = core.Model(str(path))
    x = SAMPLES[0].reshape(1, 2, 2, 2)
    assert loaded.to_buffer() == model.to_buffer() and np.array_equal(loaded.forward(x), model.forward(x))
    assert loaded.get_layer("q").parameters.channels_first == 1


def ceiling_model(core, kind):
    """A ReLU layer of three channels whose ceilings are 8, none (max_value 0) and 12."""
    if kind == "Dense1D":
        model = core.Model([input_layer(core, 1, 1, 4), layer(core, core.Dense1D, "l", units=3, activation=1)])
        weights = np.eye(4, 3, dtype=np.int8)  # unit u reads input u
    else:
        model = core.Model([input_layer(core, 2, 1, 1),
                            layer(core, core.InputConv2D, "l", kernel_size=1, filters=3, activation=1)])
        weights = np.array([1, 2, 3], np.int8).reshape(1, 1, 1, 3)
    variables = model.get_layer("l").variables
    variables["weights"] = weights
    variables["output_scales"] = np.ones(3, np.uint8)
    variables["max_value"] = np.array([4, 0, 3], np.uint8)
    variables["max_value_shift"] = np.array([1, 5, 2], np.uint8)
    return model


@pytest.mark.parametrize(
    "kind, x, expected",
    [
        ("Dense1D", [10, 20, 30, 40], [8, 20, 12]),
        ("InputConv2D", [5, 10], [5, 10, 12, 8, 20, 12]),  # pixels of 1x, 2x and 3x the input
    ],
)
def test_a_relu_ceiling_clips_the_run_and_stays_in_the_models_file(core, kind, x, expected, tmp_path):
    model = ceiling_model(core, kind)
    x = np.array(x, np.uint8).reshape(1, *model.input_shape)
    assert model.forward(x).ravel().tolist() == expected
    path = tmp_path / "m.fbz"
    model.save(str(path))
    loaded = core.Model(str(path))
    assert loaded.to_buffer() == model.to_buffer() and loaded.forward(x).ravel().tolist() == expected
    variables = loaded.get_layer("l").variables
    assert variables.names[-2:] == ["max_value", "max_value_shift"] and variables["max_value"].tolist() == [4, 0, 3]
