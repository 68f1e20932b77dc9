import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import zarn_engine  # noqa: E402


@pytest.fixture(autouse=True)
def memory_engine():
    """Every test saves to a fresh in-memory store unless it sets its own."""
    engine = zarn_engine.MemoryEngine()
    previous = zarn_engine.use_engine(engine)
    yield engine
    zarn_engine.use_engine(previous)


@pytest.fixture(scope="session")
def rm():
    import zarn_user.role_matrix as module

    return module


@pytest.fixture
def matrix(rm):
    return rm.RoleMatrix(name="app")
