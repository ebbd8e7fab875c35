import subprocess
import sys
from pathlib import Path

import pytest


@pytest.fixture(scope="session")
def core():
    from nuvra import core as module

    return module


@pytest.fixture(scope="session")
def NP(core):
    return core.NP


@pytest.fixture(scope="session")
def probe(core):
    """The engine as C++ sees it, and constraints held by C++ alone, from a test-only module."""
    import nuvra_probe

    return nuvra_probe


def failure_of(call):
    """(exception type, first line of its message) of a call expected to fail."""
    with pytest.raises(Exception) as error:
        call()
    return error.type, str(error.value).split("\n")[0]


@pytest.fixture(scope="session")
def failure():
    return failure_of


@pytest.fixture(scope="session")
def on_boards(core):
    """Runs a scenario (a function of a test module) in an interpreter of its own, whose nuvra.core
    is the test build with simulated boards: the device list is built once per process."""
    test_build = Path(core.__file__).resolve().parents[2] / "python_sim"

    def run(scenario):
        here = Path(scenario.__code__.co_filename).parent
        code = (f"import sys; sys.path[:0] = [{str(test_build)!r}, {str(here)!r}]; "
                f"import {scenario.__module__} as tests; tests.{scenario.__name__}()")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr

    return run


@pytest.fixture(scope="session")
def v2_mesh(core, NP):
    """A v2 mesh with an HRC, two CNPs and a skip DMA; each call makes a new one."""

    def make():
        nps = [NP.Info(NP.Ident(1, 0, 0), [NP.CNP1, NP.CNP2]), NP.Info(NP.Ident(1, 0, 1), [NP.CNP1], True)]
        skip = [NP.Info(NP.Ident(2, 0, 0, 1), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])]
        return NP.Mesh(core.v2, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), NP.Info.hrc(True), nps, skip)

    return make


@pytest.fixture
def device(core, v2_mesh):
    """A virtual second-generation device on the v2 mesh."""
    return core.Device(core.HwVersion.Tolmar_v2, v2_mesh())


def layer(core, kind, name, **entries):
    return core.Layer(core.LayerParams(kind, entries), name)


def input_layer(core, width=4, height=4, channels=2, name="in"):
    return layer(core, core.InputData, name, input_width=width, input_height=height, input_channels=channels)


def make_conv_model(core):
    """in (4 x 4 x 2) -> conv (3 x 3, 4 filters, Same)."""
    model = core.Model()
    model.add(input_layer(core))
    model.add(layer(core, core.Conv2D, "conv", kernel_size=3, filters=4, padding=1))
    return model


@pytest.fixture
def conv_model(core):
    return make_conv_model(core)


@pytest.fixture
def learner(core):
    """in (2 x 2 x 3) -> fc (10 units, first generation), compiled for 10 classes."""
    model = core.Model()
    model.add(input_layer(core, 2, 2, 3))
    model.add(layer(core, core.FullyConnected, "fc", units=10))
    model.compile(core.NuvraUnsupervised(4, num_classes=10))
    return model
