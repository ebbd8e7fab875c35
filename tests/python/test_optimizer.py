import copy

import pytest


def test_nuvra_unsupervised_defaults(core):
    o = core.NuvraUnsupervised(10)
    assert [o.get(k) for k in ("num_weights", "num_classes", "initial_plasticity", "learning_competition",
                               "min_plasticity", "plasticity_decay")] == [10.0, 1.0, 1.0, 0.0, 0.10000000149011612, 0.25]
    assert o.num_weights == 10.0 and o.learning_type == 0
    assert sorted(dir(o)) == ["initial_plasticity", "learning_competition", "min_plasticity", "num_classes",
                              "num_weights", "plasticity_decay"]
    for twin in (copy.copy(o), copy.deepcopy(o)):
        assert twin is not o and twin.num_classes == 1.0
    assert getattr(o, "__nothing__", None) is None
    with pytest.raises(ValueError, match="^Key nothing not found$"):
        o.nothing


@pytest.mark.parametrize("args", [(), (-1,), (10, 2.5), (10.0,)])
def test_refused_arguments(core, args):
    with pytest.raises(TypeError):
        core.NuvraUnsupervised(*args)


def test_no_constructor(core):
    with pytest.raises(TypeError, match="No constructor defined!"):
        core.Optimizer()


def test_a_model_compiles_with_it(learner, core):
    assert learner.learning.num_classes == 10.0
    with pytest.raises(TypeError):
        learner.compile(None)
