import gc
import os

import numpy as np
import pytest

from conftest import layer


def test_empty_models(core):
    for model in (core.Model(), core.Model([]), core.Model(layers=())):
        assert model.layer_count == 0 and model.layers == [] and model.input_shape == []
        assert model.component_count == {} and model.external_memory_size == 0 and model.sequences == []
        assert model.learning is None and model.power_events == [] and model.device is None
    with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no layers$"):
        core.Model().forward(np.zeros((1, 4), np.uint8))
    with pytest.raises(TypeError):
        core.Model(None)


def test_layers_from_another_model(core, conv_model):
    conv = conv_model.get_layer("conv")
    assert [l.name for l in core.Model(l for l in [conv]).layers] == ["InputData", "conv"]
    with pytest.raises(RuntimeError, match="^Invalid layer received$"):
        core.Model([conv, None])
    for bad in (lambda: conv_model.get_layer(1.0), lambda: conv_model.add(None), lambda: conv_model.compile(None),
                lambda: conv_model.add(layer(core, core.Conv2D, "d", kernel_size=1, filters=1), [None])):
        with pytest.raises(TypeError):
            bad()
    conv_model.add(layer(core, core.Conv2D, "d", kernel_size=1, filters=2), inbound_layers={conv})
    assert conv_model.get_layer(2).name == "d" and conv_model.get_layer(b"in").name == "in"
    del conv_model
    gc.collect()
    assert conv.name == "conv" and conv.variables["weights"].shape == (3, 3, 2, 4)


def test_model_files(core, conv_model, tmp_path):
    path = tmp_path / "m.fbz"
    conv_model.save(str(path))
    n = len(conv_model.to_buffer())
    assert len(path.read_bytes()) == 32 + n + n // 6 and path.read_bytes().endswith(bytes(8))
    for name in (str(path), os.fsencode(path), bytearray(os.fsencode(path))):
        assert core.Model(name).to_buffer() == conv_model.to_buffer()
    path.write_bytes(b"\x80")
    with pytest.raises(ValueError, match="^Cannot uncompress corrupted serialization buffer$"):
        core.Model(filename=str(path))
    with pytest.raises(RuntimeError, match=r"^File not found\.$"):
        core.Model(str(tmp_path / "missing.fbz"))
    target = str(tmp_path / "no" / "m.fbz")
    with pytest.raises(ValueError) as raised:
        conv_model.save(target)
    assert str(raised.value) == "Unable to open file for saving model: " + target


def test_runs_and_their_metrics(core, conv_model):
    x = np.arange(2 * 32, dtype=np.uint8).reshape(2, 4, 4, 2) % 5
    assert conv_model.forward(x, batch_size=1).shape == (2, 4, 4, 4)
    assert conv_model.predict(x).dtype == np.float32 and conv_model.power_events == []
    metrics = conv_model.metrics
    assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
    del conv_model
    gc.collect()
    assert metrics["inference_frames"] == 2 and metrics["inference_end"] >= metrics["inference_start"]


@pytest.mark.parametrize(
    "labels, error",
    [(3, None), (3.0, None), ([3], None), (np.array([3], np.uint64), None), ([], None),
     (2.5, TypeError), ([1.5], TypeError), (float("nan"), TypeError), (2**31, TypeError), (np.array([1.0]), TypeError),
     (None, TypeError), (np.array([2**40]), RuntimeError)],
)
def test_fit_labels(learner, labels, error):
    x = np.ones((1, 2, 2, 3), np.uint8)
    if error is None:
        assert learner.fit(x, labels).shape == (1, 1, 1, 10)
    else:
        with pytest.raises(error, match="^fit method expects integers as labels$" if error is TypeError and labels is not None else None):
            learner.fit(x, labels)


def test_evaluate(learner):
    x = np.ones((2, 2, 2, 3), np.uint8)
    labels = np.array([0, 1], np.int32)
    assert learner.evaluate(x, labels, num_classes=2) == 0.5  # fresh weights: equal potentials, the lower class
    for given, message in [(labels.reshape(2, 1), "Labels must be 1-D."), (labels[:1], "Inputs and labels must have the same size."),
                           (labels.astype(np.int64), "Labels must be int32.")]:
        with pytest.raises(ValueError) as raised:
            learner.evaluate(x, given, 2)
        assert str(raised.value) == message


def test_add_classes(learner):
    with pytest.raises(ValueError, match=r"^The number of classes to add must be positive\.$"):
        learner.add_classes(0)
    with pytest.raises(TypeError):
        learner.add_classes(2.0)
    learner.add_classes(5)
    assert learner.get_layer("fc").variables["weights"].shape == (15, 12, 1, 1)
