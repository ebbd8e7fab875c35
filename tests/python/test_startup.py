import importlib.metadata
import re
import tomllib
from pathlib import Path

import pytest

PLUMBING = ("__name__", "__package__", "__loader__", "__spec__", "__file__")
ROOT = Path(__file__).resolve().parents[2]


def test_doc_and_version(core, probe):
    assert (core.__doc__, core.__version__) == ("Nuvra core library", probe.engine_version())


def test_one_version_for_the_module_the_build_and_the_package(core):
    """The package metadata reads its version from the line the engine's version() returns, the
    build's project version comes from it too, and an installed package says the same."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" in project["project"].get("dynamic", []) and "version" not in project["project"]
    reader = project["tool"]["scikit-build"]["metadata"]["version"]
    assert reader["provider"] == "scikit_build_core.metadata.regex"
    found = re.search(reader["regex"], (ROOT / reader["input"]).read_text(), re.MULTILINE)
    assert found is not None and found["value"] == core.__version__
    # The build this module comes from, when it has a CMake cache.
    cache = Path(core.__file__).resolve().parents[2] / "CMakeCache.txt"
    if cache.exists():
        assert f"CMAKE_PROJECT_VERSION:STATIC={core.__version__}\n" in cache.read_text()
    # The metadata of an installed package, when this module is the one it installed.
    try:
        installed = importlib.metadata.distribution("nuvra")
    except importlib.metadata.PackageNotFoundError:
        return
    files = {Path(installed.locate_file(f)).resolve() for f in installed.files or []}
    if Path(core.__file__).resolve() in files:
        assert installed.version == core.__version__


# Names in the order the module body registers them; "*Enum" stands for the enum and its exported values.
@pytest.mark.parametrize(
    "path, names",
    [
        ("", ["__doc__", "__version__", "*BackendType", "Model", "Layer", "*LayerType", "*Padding", "*PoolType",
              "*ActivationType", "LayerParams", "Optimizer", "NuvraUnsupervised", "Variables", "evaluate_bitwidth",
              "Metrics", "Device", "SocDriver", "HardwareDevice", "HwVersion", "NP", "MapConstraints", "ProgramParts",
              "Sequence", "Pass", "PowerEvent", "PowerMeter", "soc", "ProgramMemoryRequired",
              "get_program_memory_infos", "nn", "*IpVersion", "boardZr62", "graph_utils"]),
        ("NP", ["__doc__", "SramSize", "__getattr__", "Mesh", "Ident", "*Type", "Info", "NpSpace", "MemoryInfo",
                "Component"]),
        ("soc", ["__doc__", "*ClockMode"]),
        ("boardZr62", ["__doc__", "get_flash", "SpiFlashController"]),
        ("graph_utils", ["__doc__", "extract_main_branch", "extract_skip_branch", "get_mappable_layer",
                         "dual_output_to_store_dma", "first_mappable_layer", "last_mappable_layer",
                         "next_mappable_layer", "previous_mappable_layer", "is_merge_layer"]),
        ("nn", ["__doc__", "lshift", "shift", "shift_out", "matmul", "add", "concatenate", "scale_out", "conv2d",
                "input_conv2d", "conv2d_transpose", "dequantize", "depthwise_conv2d", "relu_activation", "look_up",
                "global_average_pooling", "max_pooling", "fifo_op", "depth_conv_like_op", "stateful_main_op",
                "subsampling_op", "wisppostprocessing_op"]),
    ],
)  # fmt: skip
def test_registration_order(core, path, names):
    module = getattr(core, path) if path else core
    expected = []
    for name in names:
        enum = getattr(module, name.lstrip("*"))
        expected += [enum.__name__, *enum.__members__] if name.startswith("*") else [name]
    assert [n for n in vars(module) if n not in PLUMBING] == expected
