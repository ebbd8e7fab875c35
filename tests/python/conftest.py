import pytest


@pytest.fixture(scope="session")
def core():
    from nuvra import core as module

    return module
