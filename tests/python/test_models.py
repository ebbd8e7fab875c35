import gc
import os

import numpy as np
import pytest

from conftest import input_layer, layer


def test_empty_models(core):
    for model in (core.Model(), core.Model([]), core.Model(layers=())):
        assert model.layer_count == 0 and model.layers == [] and model.input_shape == []
        assert model.component_count == {} and model.external_memory_size == 0 and model.sequences == []
        assert model.learning is None and model.power_events == []
        if hasattr(core, "Device"):
            assert model.device is None
    with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no layers$"):
        core.Model().forward(np.zeros((1, 4), np.uint8))
    with pytest.raises(TypeError):
        core.Model(None)


def test_built_from_layers_of_another_model(core, conv_model):
    conv = conv_model.get_layer("conv")
    for layers in ([conv], (l for l in [conv])):
        model = core.Model(layers)
        assert [l.name for l in model.layers] == ["InputData", "conv"]
        assert model.layers[0].parameters.layer_type == core.InputData and model.input_shape == [4, 4, 2]
    assert [l.name for l in core.Model(conv_model.layers).layers] == ["in", "conv"]
    with pytest.raises(RuntimeError, match="^Invalid layer received$"):
        core.Model([conv, None])
    with pytest.raises(RuntimeError, match=r"^Cannot get input size before it is set\.$"):
        core.Model([layer(core, core.Conv2D, "c", kernel_size=1, filters=1)])


def test_adding_and_looking_up_layers(core, conv_model):
    conv = conv_model.get_layer("conv")
    assert conv_model.get_layer(1).name == "conv" and conv_model.get_layer(b"in").name == "in"
    for bad in (lambda: conv_model.get_layer(1.0), lambda: conv_model.add(None),
                lambda: conv_model.add(layer(core, core.Conv2D, "d", kernel_size=1, filters=1), [None])):
        with pytest.raises(TypeError):
            bad()
    conv_model.add(layer(core, core.Conv2D, "d", kernel_size=1, filters=2), inbound_layers={conv})
    assert conv_model.output_shape == [4, 4, 2] and conv_model.ip_version == core.v2
    conv_model.pop_layer()
    assert conv_model.layer_count == 2


def test_layers_outlive_their_model(core, conv_model):
    conv = conv_model.get_layer("conv")
    del conv_model
    gc.collect()
    assert conv.name == "conv" and conv.variables["weights"].shape == (3, 3, 2, 4)


def test_file_round_trip(core, conv_model, tmp_path):
    conv_model.get_layer("conv").variables["weights"] = np.full((3, 3, 2, 4), -3, np.int8)
    path = tmp_path / "m.fbz"
    conv_model.save(str(path))
    n = len(conv_model.to_buffer())
    data = path.read_bytes()
    assert len(data) == 32 + n + n // 6 and data.endswith(bytes(8))
    for name in (str(path), os.fsencode(path), bytearray(os.fsencode(path))):
        assert core.Model(name).to_buffer() == conv_model.to_buffer()
    assert core.Model(filename=str(path)).layer_count == 2


def damaged(data):
    flipped = bytearray(data)
    flipped[2] ^= 0x01  # the first element's tag: a literal becomes a copy
    padded = bytearray(data)
    padded[-1] = 1
    return [b"\x80", data[: len(data) // 3], bytes(flipped), bytes(padded)]


def test_damaged_files_are_refused(core, conv_model, tmp_path):
    good = tmp_path / "good.fbz"
    conv_model.save(str(good))
    for i, data in enumerate(damaged(good.read_bytes())):
        path = tmp_path / f"{i}.fbz"
        path.write_bytes(data)
        with pytest.raises(ValueError, match="^Cannot uncompress corrupted serialization buffer$"):
            core.Model(str(path))
    (tmp_path / "empty.fbz").write_bytes(b"")
    for name, message in (("empty.fbz", "File is empty."), ("missing.fbz", "File not found.")):
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            core.Model(str(tmp_path / name))
    target = str(tmp_path / "no" / "m.fbz")
    with pytest.raises(ValueError) as raised:
        conv_model.save(target)
    assert str(raised.value) == "Unable to open file for saving model: " + target


def test_forward_predict_and_run_records(core, conv_model):
    x = np.arange(2 * 32, dtype=np.uint8).reshape(2, 4, 4, 2) % 5
    assert conv_model.forward(x, batch_size=1).shape == (2, 4, 4, 4)
    assert conv_model.predict(x).dtype == np.float32
    assert conv_model.power_events == []
    if hasattr(core, "Metrics"):
        metrics = conv_model.metrics
        assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
        assert metrics["inference_frames"] == 2 and metrics["inference_end"] >= metrics["inference_start"]
        del conv_model
        gc.collect()
        assert metrics["inference_frames"] == 2


@pytest.mark.parametrize("labels", [2.5, [1.5], float("nan"), float("inf"), 2**31, np.array([1.0]), ["a"]])
def test_fit_refuses_labels_that_are_not_integers(learner, labels):
    with pytest.raises(TypeError, match="^fit method expects integers as labels$"):
        learner.fit(np.zeros((1, 2, 2, 3), np.uint8), labels)


@pytest.mark.parametrize("labels", [3, 3.0, [3], np.array([3], np.uint64), np.array([3], np.int8), []])
def test_fit_takes_integer_labels(learner, labels):
    assert learner.fit(np.ones((1, 2, 2, 3), np.uint8), labels).shape == (1, 1, 1, 10)


def test_fit_refusals(learner):
    x = np.zeros((1, 2, 2, 3), np.uint8)
    with pytest.raises(TypeError):
        learner.fit(x, None)
    with pytest.raises(RuntimeError):
        learner.fit(x, np.array([2**40]))


def test_evaluate(learner):
    x = np.ones((2, 2, 2, 3), np.uint8)
    labels = np.array([0, 1], np.int32)
    learner.get_layer("fc").variables["weights"] = np.zeros((10, 12, 1, 1), np.int8)
    assert learner.evaluate(x, labels, num_classes=2) == 0.5  # every potential equal: the lower class
    rows = [
        (labels, 1, "Cannot classify with 1class(es)."),
        (labels, 3, "The number of neurons [10] is not a multiple of  the number of classes [3]."),
        (labels.reshape(2, 1), 2, "Labels must be 1-D."),
        (labels[:1], 2, "Inputs and labels must have the same size."),
        (labels.astype(np.int64), 2, "Labels must be int32."),
    ]
    for given, classes, message in rows:
        with pytest.raises(ValueError) as raised:
            learner.evaluate(x, given, classes)
        assert str(raised.value) == message


def test_add_classes(learner):
    old = learner.get_layer("fc").variables["weights"]
    with pytest.raises(ValueError, match=r"^The number of classes to add must be positive\.$"):
        learner.add_classes(0)
    with pytest.raises(TypeError):
        learner.add_classes(2.0)
    learner.add_classes(5)
    fc = learner.get_layer("fc")
    assert fc.parameters.get("units") == 15 and learner.learning.num_classes == 15.0
    assert (fc.variables["weights"][:10] == old).all() and not fc.variables["weights"][10:].any()


def test_add_classes_refuses_weights_of_another_shape(learner):
    fc = learner.get_layer("fc")
    fc.variables["weights"] = np.zeros((10, 6, 1, 1), np.int8)
    with pytest.raises(ValueError, match="does not fit the new shape"):
        learner.add_classes(1)
    assert learner.get_layer("fc").parameters.get("units") == 10
