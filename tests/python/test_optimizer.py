import copy

import pytest


def test_nuvra_unsupervised_defaults(core):
    o = core.NuvraUnsupervised(10)
    names = ["initial_plasticity", "learning_competition", "min_plasticity", "num_classes", "num_weights",
             "plasticity_decay"]
    assert sorted(dir(o)) == names and [o.get(n) for n in names] == [1.0, 0.0, 0.10000000149011612, 1.0, 10.0, 0.25]
    assert o.num_weights == 10.0 and o.learning_type == 0
    for twin in (copy.copy(o), copy.deepcopy(o)):
        assert twin is not o and twin.num_classes == 1.0
    assert getattr(o, "__nothing__", None) is None
    with pytest.raises(ValueError, match="^Key nothing not found$"):
        o.nothing
    with pytest.raises(TypeError, match="No constructor defined!"):
        core.Optimizer()


@pytest.mark.parametrize("args", [(), (-1,), (10, 2.5), (10.0,)])
def test_refused_arguments(core, args):
    with pytest.raises(TypeError):
        core.NuvraUnsupervised(*args)
