import copy


def test_nuvra_unsupervised(core, failure):
    o = core.NuvraUnsupervised(10)
    assert (o.num_weights, o.get("min_plasticity"), o.learning_type) == (10.0, 0.10000000149011612, 0)
    # Protocol names are AttributeErrors, so copying takes its usual path.
    assert getattr(o, "__nothing__", None) is None
    assert [twin.num_classes for twin in (copy.copy(o), copy.deepcopy(o))] == [1.0, 1.0]
    assert failure(lambda: o.nothing) == (ValueError, "Key nothing not found")
