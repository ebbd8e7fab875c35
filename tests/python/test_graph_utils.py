import pytest

from conftest import layer


def test_walks_give_the_engines_own_layers(core, conv_model):
    """in -> conv -> (c2, d): two branches leave conv and never rejoin."""
    g = core.graph_utils
    conv = conv_model.get_layer("conv")
    conv_model.add(layer(core, core.Conv2D, "c2", kernel_size=1, filters=2))
    conv_model.add(layer(core, core.Conv2D, "d", kernel_size=1, filters=2), inbound_layers=[conv])
    in_, conv, c2, d = conv_model.layers
    assert ([l.name for l in g.extract_main_branch(conv)], [l.name for l in g.extract_skip_branch(conv)]) == (
        ["c2"], ["d"])  # fmt: skip
    assert g.get_mappable_layer(conv) is conv and g.next_mappable_layer(conv) is c2
    assert g.next_mappable_layer(d) is None and g.first_mappable_layer([]) is None
    assert g.first_mappable_layer(l for l in conv_model.layers) is conv
    assert g.last_mappable_layer({l.name: l for l in conv_model.layers}.values()) is d


# None is not a layer, neither as an argument nor inside a list.
@pytest.mark.parametrize(
    "call", [lambda g, l: g.get_mappable_layer(None), lambda g, l: g.first_mappable_layer([l, None])]
)
def test_none_is_refused(core, conv_model, call):
    with pytest.raises(TypeError):
        call(core.graph_utils, conv_model.get_layer("conv"))
