import pickle

import pytest


def test_doc_and_version(core):
    assert core.__doc__ == "Nuvra core library"
    assert isinstance(core.__version__, str) and core.__version__


@pytest.mark.parametrize(
    "enum_name, members",
    [
        ("BackendType", [("Software", 0), ("Hardware", 1), ("Hybrid", 2)]),
        ("IpVersion", [("none", 0), ("v1", 1), ("v2", 2), ("wisp", 3)]),
    ],
)
def test_module_enums_are_exported_in_order(core, enum_name, members):
    enum = getattr(core, enum_name)
    assert [(name, int(value)) for name, value in enum.__members__.items()] == members
    for name, _ in members:
        assert getattr(core, name) is getattr(enum, name)


def test_clock_modes_live_in_soc(core):
    modes = core.soc.ClockMode
    assert [(n, int(v)) for n, v in modes.__members__.items()] == [
        ("Performance", 300000000),
        ("Economy", 100000000),
        ("LowPower", 5000000),
    ]
    assert core.soc.Economy is modes.Economy
    assert modes.__doc__.startswith("Clock mode configuration")
    assert core.soc.__doc__ == "Nuvra Vexa specific functions"
    assert not hasattr(core, "ClockMode")


def test_enums_are_strict(core):
    assert core.Hybrid is core.BackendType.Hybrid
    assert int(core.BackendType.Hardware) == 1
    assert (core.BackendType.Hardware == 1) is False
    assert (core.BackendType.Hardware == core.IpVersion.v1) is False
    assert core.v2 == core.IpVersion.v2
    assert core.IpVersion(2) == core.v2
    assert core.IpVersion.v2.name == "v2" and core.IpVersion.v2.value == 2
    assert hash(core.v2) == hash(core.IpVersion(2))
    assert pickle.loads(pickle.dumps(core.IpVersion.wisp)) == core.IpVersion.wisp
    assert core.IpVersion.__doc__.startswith("The reference Nuvra IP version")


def test_graph_utils_submodule(core):
    assert core.graph_utils.__doc__ == (
        "Nuvra graph utilities software internal functions. "
        "These are meant for testing, debugging and validation only."
    )


def test_registration_order(core):
    def names(module):
        return [n for n in vars(module) if n not in ("__name__", "__package__", "__loader__", "__spec__", "__file__")]

    def enum(e):
        return [e.__name__, *e.__members__]

    assert names(core) == [
        "__doc__", "__version__", "BackendType", "Software", "Hardware", "Hybrid",
        "Model", "Layer", *enum(core.LayerType), *enum(core.Padding), *enum(core.PoolType),
        *enum(core.ActivationType), "LayerParams", "Optimizer", "NuvraUnsupervised", "Variables", "evaluate_bitwidth",
        "Metrics", "Device", "SocDriver", "HardwareDevice", "HwVersion", "NP", "MapConstraints", "ProgramParts",
        "Sequence", "Pass", "PowerEvent", "PowerMeter", "soc", "ProgramMemoryRequired", "get_program_memory_infos",
        "nn", "IpVersion", "none", "v1", "v2", "wisp", "boardZr62", "graph_utils",
    ]  # fmt: skip
    assert names(core.boardZr62) == ["__doc__", "get_flash", "SpiFlashController"]
    assert core.Layer.Mapping.__doc__.startswith("The mapping of a Layer on one or more Neural Processors.")
    assert names(core.NP) == [
        "__doc__", "SramSize", "__getattr__", "Mesh", "Ident", "Type",
        "HRC", "CNP1", "CNP2", "FNP2", "FNP3", "TNP_B", "TNP_R", "SKIP_DMA_STORE", "SKIP_DMA_LOAD",
        "Info", "NpSpace", "MemoryInfo", "Component",
    ]  # fmt: skip


@pytest.mark.parametrize(
    "path, fragment",
    [
        ("Model.__init__", "layers: collections.abc.Sequence[nuvra::Layer] = [])"),
        ("Model._map", "(self: nuvra.core.Model, device: nuvra::Device, hw_only: bool = False, constraints: "),
        ("Model.fit", "input_labels: list = [], batch_size: typing.SupportsInt | typing.SupportsIndex = 0)"),
        ("Model.evaluate", "labels: numpy.ndarray, num_classes: typing.SupportsInt | typing.SupportsIndex = 0, "),
        ("NuvraUnsupervised", "min_plasticity: typing.SupportsFloat | typing.SupportsIndex = 0.10000000149011612, "),
        ("evaluate_bitwidth", "evaluate_bitwidth(variable: numpy.ndarray) -> int"),
    ],
)
def test_signatures_keep_their_names_and_defaults(core, path, fragment):
    target = core
    for name in path.split("."):
        target = getattr(target, name)
    assert fragment in target.__doc__
