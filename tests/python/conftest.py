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
    """Objects that only C++ makes (metrics, power meters, components), from a test-only module."""
    import nuvra_probe

    return nuvra_probe


@pytest.fixture(scope="session")
def failure():
    """(exception type, first line of its message) of a call expected to fail."""

    def run(call):
        with pytest.raises(Exception) as error:
            call()
        return error.type, str(error.value).split("\n")[0]

    return run


@pytest.fixture(scope="session")
def v2_mesh(core, NP):
    """A v2 mesh with an HRC, two CNPs and a skip DMA; each call makes a new one."""

    def make():
        nps = [NP.Info(NP.Ident(1, 0, 0), [NP.CNP1, NP.CNP2]), NP.Info(NP.Ident(1, 0, 1), [NP.CNP1], True)]
        skip = [NP.Info(NP.Ident(2, 0, 0, 1), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])]
        return NP.Mesh(core.v2, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), NP.Info.hrc(True), nps, skip)

    return make
