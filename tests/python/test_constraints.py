import gc

import numpy as np
import pytest

from conftest import layer


def test_properties_convert_and_refuse(core, device, failure):
    constraints = core.MapConstraints(device)
    assert failure(lambda: core.MapConstraints(None)) == (ValueError, "Invalid device passed to MapConstraints.")
    constraints.cnp_max_height, constraints.hwpr_loopitself = 0, 1
    assert (constraints.cnp_max_height, constraints.hwpr_loopitself) == (0, True) and constraints.device is device


def test_a_subclass_held_only_by_cpp_keeps_its_overrides(core, NP, device, probe):
    class Reversing(core.MapConstraints):
        """Picks from the end through the base, and records what the mapper tells it."""

        def select_nps(self, source_nps, num_nps, type):
            calls.append(type)
            return core.MapConstraints.select_nps(self, source_nps[::-1], num_nps, type)

        def next_layer_handler(self, layer_name):
            calls.append(layer_name)

    calls = []
    probe.hold(Reversing(device))
    gc.collect()
    assert probe.held_select_nps([NP.Ident(1, 0, 0), NP.Ident(2, 0, 0)], 1, NP.CNP1) == [NP.Ident(2, 0, 0)]
    probe.held_next_layer("conv2")
    assert calls == [NP.CNP1, "conv2"]
    probe.hold(None)


def hooked(core, **methods):
    return type("Hooked", (core.MapConstraints,), methods)


def raise_key_error(self, layer_name):
    raise KeyError(layer_name)


DUPLICATE = "Cannot map layer 'conv'. The NPs selected for type CNP1 must be distinct free NPs of that type."


# The mapper calls the hooks of a Python subclass; what they raise reaches the caller.
@pytest.mark.parametrize(
    "methods, error, message, calls",
    [
        (dict(next_layer_handler=lambda self, name: self.calls.append(name)), None, None, ["conv"]),
        (dict(next_layer=lambda self, name: self.calls.append(name)), None, None, []),  # the binding's name: no hook
        (dict(select_nps=lambda self, nps, count, type: [nps[0]] * count), RuntimeError, DUPLICATE, []),
        (dict(select_nps=lambda self, nps, count, type: [1]), RuntimeError, None, []),  # not NP.Ident values
        (dict(select_nps=lambda self, nps, count, type: [None] * count), RuntimeError,
         "Cannot map layer 'conv'. MapConstraints.select_nps returned [None, None], not a list of NP.Ident.", []),
        (dict(next_layer_handler=raise_key_error), KeyError, "'conv'", []),
    ],
)
def test_hooks_during_mapping(core, conv_model, device, failure, methods, error, message, calls):
    constraints = hooked(core, **methods)(device)
    constraints.calls = []
    constraints.cnp_max_filters = 2  # conv is split over both CNPs
    if error is None:
        conv_model._map(device, constraints=constraints)
        assert len(conv_model.get_layer("conv").mapping.nps) == 2
    else:
        kind, text = failure(lambda: conv_model._map(device, False, constraints))
        assert kind is error and (message is None or text == message) and conv_model.sequences == []
    assert constraints.calls == calls


# Constraints of an equal device give the program the device's own give; those of another device
# (here a first-generation one) are refused, and the model keeps the mapping it had.
def test_constraints_made_for_another_device(core, NP, conv_model, device, v2_mesh, failure):
    conv_model._map(device)
    program = conv_model.sequences[0].program
    conv_model._map(device, constraints=core.MapConstraints(core.Device(core.HwVersion.Tolmar_v2, v2_mesh())))
    assert (conv_model.sequences[0].program, conv_model.device) == (program, device)
    v1 = NP.Mesh(core.v1, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, [NP.Info(NP.Ident(1, 0, 0), [NP.CNP1])])
    constraints = core.MapConstraints(core.Device(core.HwVersion.ZR62_v1, v1))
    assert failure(lambda: conv_model._map(device, constraints=constraints)) == (
        ValueError, "The mapping constraints were made for another device.")  # fmt: skip
    assert failure(lambda: conv_model._map(None, constraints=constraints)) == (
        ValueError, "Cannot map a model without a device.")  # fmt: skip
    assert (conv_model.sequences[0].program, conv_model.device) == (program, device)


# A hook may read the model being mapped, and edit and map other models; an edit of that model is
# refused, the refusal ends the mapping, and the model holds what it held.
@pytest.mark.parametrize(
    "edit",
    [
        lambda core, m, d: m.add(layer(core, core.Conv2D, "c2", kernel_size=1, filters=4, padding=1)),
        lambda core, m, d: m.pop_layer(),
        lambda core, m, d: m.compile(core.NuvraUnsupervised(4, num_classes=2)),
        lambda core, m, d: m.fit(np.ones((1, 4, 4, 2), np.uint8), [0]),
        lambda core, m, d: m.add_classes(1),
        lambda core, m, d: m.get_layer("conv").variables.__setitem__("weights", np.zeros((1, 1, 1, 8), np.int8)),
        lambda core, m, d: m._map(d),
    ],
    ids=["add", "pop_layer", "compile", "fit", "add_classes", "variable", "_map"],
)
def test_a_hook_cannot_edit_the_model_being_mapped(core, conv_model, device, failure, edit):
    constraints = hooked(core, next_layer_handler=lambda self, name: edit(core, conv_model, device))(device)
    before = conv_model.to_buffer()
    assert failure(lambda: conv_model._map(device, constraints=constraints)) == (
        RuntimeError, "The model is being mapped.")  # fmt: skip
    assert (conv_model.to_buffer(), conv_model.sequences, conv_model.layers[1].mapping) == (before, [], None)


def test_a_hook_may_read_the_model_and_edit_another(core, conv_model, device):
    conv_model._map(device)
    program = conv_model.sequences[0].program
    other = core.Model([conv_model.get_layer("conv")])

    def read_and_edit_another(self, name):
        self.seen = [l.variables["weights"].shape for l in conv_model.layers[1:]] + [conv_model.output_shape]
        other.pop_layer()

    constraints = hooked(core, next_layer_handler=read_and_edit_another)(device)
    conv_model._map(device, constraints=constraints)
    assert conv_model.sequences[0].program == program and other.layer_count == 1
    assert constraints.seen == [(3, 3, 2, 4), [4, 4, 4]]
