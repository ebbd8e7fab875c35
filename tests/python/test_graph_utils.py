import pytest

from conftest import layer


@pytest.fixture
def split(core, conv_model):
    """in -> conv -> (c2, d): two branches leave conv and never rejoin."""
    conv = conv_model.get_layer("conv")
    conv_model.add(layer(core, core.Conv2D, "c2", kernel_size=1, filters=2))
    conv_model.add(layer(core, core.Conv2D, "d", kernel_size=1, filters=2), inbound_layers=[conv])
    return conv_model


def test_registration(core):
    names = ["extract_main_branch", "extract_skip_branch", "get_mappable_layer", "dual_output_to_store_dma",
             "first_mappable_layer", "last_mappable_layer", "next_mappable_layer", "previous_mappable_layer",
             "is_merge_layer"]  # fmt: skip
    assert [n for n in vars(core.graph_utils) if not n.startswith("__")] == names
    for name in names:  # a signature only; arguments without names
        doc = getattr(core.graph_utils, name).__doc__
        assert doc.startswith(name + "(arg0: ") and "nuvra.core.Layer" in doc.split(")")[0]
        assert doc.count("\n") == 1


def test_walks(core, split):
    g = core.graph_utils
    in_, conv, c2, d = split.layers
    assert [l.name for l in g.extract_main_branch(conv)] == ["c2"]
    assert [l.name for l in g.extract_skip_branch(conv)] == ["d"]
    assert not any(g.is_merge_layer(l) or g.dual_output_to_store_dma(l) for l in split.layers)
    assert g.get_mappable_layer(conv) is conv  # the engine's own layer, not a copy
    assert g.next_mappable_layer(conv) is c2 and g.previous_mappable_layer(c2) is conv
    assert g.next_mappable_layer(d) is None and g.previous_mappable_layer(in_) is None
    assert g.first_mappable_layer([]) is None and g.last_mappable_layer(()) is None
    assert g.first_mappable_layer(l for l in split.layers) is conv
    assert g.last_mappable_layer({l.name: l for l in split.layers}.values()) is d


@pytest.mark.parametrize(
    "call",
    [lambda g, l: g.get_mappable_layer(None), lambda g, l: g.is_merge_layer(None),
     lambda g, l: g.first_mappable_layer([l, None]), lambda g, l: g.last_mappable_layer("in"),
     lambda g, l: g.first_mappable_layer(l), lambda g, l: g.next_mappable_layer(arg0=l)],
)  # fmt: skip
def test_refusals(core, conv_model, call):
    with pytest.raises(TypeError):
        call(core.graph_utils, conv_model.get_layer("conv"))
