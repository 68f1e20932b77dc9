import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import zarn_engine  # noqa: E402
from hypothesis import HealthCheck, settings  # noqa: E402

# How hard the property and fuzz tests try: `dev` for a quick run at the desk, `ci` in CI,
# `long` for the bench run (bench/fuzz.sh). Chosen by ZARN_HYPOTHESIS_PROFILE.
settings.register_profile("dev", max_examples=60, deadline=None)
settings.register_profile("ci", max_examples=300, deadline=None, print_blob=True)
settings.register_profile("long", max_examples=5000, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("ZARN_HYPOTHESIS_PROFILE", "dev"))


class AcceptingEngine(zarn_engine.Engine):
    """Takes every save and keeps nothing: tests that compare the role graph, not storage."""

    def save(self, collection, key, data, expected):
        return 1


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


POSTGRES_URL = os.environ.get("ZARN_TEST_POSTGRES_URL")
# ZARN_TEST_POSTGRES_ROLE=runtime: the tests' PostgreSQL stores are made by the server's user,
# and the tests reach them as a role with the runtime grants only (rows, never tables).
POSTGRES_ROLE = os.environ.get("ZARN_TEST_POSTGRES_ROLE", "owner")
RUNTIME_ROLE = "zarn_test_runtime"
STORES = ["memory", "sqlite", "postgresql"]


def _postgres_schema_url(request, owner=False):
    """A schema of its own for one test on the test server, dropped afterwards; reached as
    the role ZARN_TEST_POSTGRES_ROLE names, or as its `owner` (for tests that make tables)."""
    if not POSTGRES_URL:
        pytest.skip("ZARN_TEST_POSTGRES_URL is not set: no PostgreSQL server for this test")
    import uuid

    import psycopg

    schema = f"t_{uuid.uuid4().hex[:16]}"
    with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    request.addfinalizer(lambda: _drop_schema(schema))
    sep = "&" if "?" in POSTGRES_URL else "?"
    url = f"{POSTGRES_URL}{sep}options=-csearch_path%3D{schema}"
    if POSTGRES_ROLE not in ("owner", "runtime"):
        raise ValueError(f"ZARN_TEST_POSTGRES_ROLE={POSTGRES_ROLE}: owner or runtime")
    return _as_runtime_role(url, schema) if POSTGRES_ROLE == "runtime" and not owner else url


def _as_runtime_role(url, schema):
    """`url` made a store by its owner, as the runtime role sees it."""
    import re

    import psycopg
    from zarn_engine.postgresql import grants

    zarn_engine.migrate(url)
    with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
        if conn.execute("SELECT 1 FROM pg_roles WHERE rolname = %s", (RUNTIME_ROLE,)).fetchone() is None:
            try:
                conn.execute(f"CREATE ROLE {RUNTIME_ROLE} LOGIN")
            except psycopg.errors.DuplicateObject:
                pass  # made by another test process meanwhile
        for statement in grants(RUNTIME_ROLE, schema_name=schema):
            conn.execute(statement)
    return re.sub(r"^(postgres(?:ql)?://)([^@/]*@)?", rf"\g<1>{RUNTIME_ROLE}@", url)


def _drop_schema(schema):
    import psycopg

    with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
        conn.execute(f"DROP SCHEMA {schema} CASCADE")


@pytest.fixture(params=STORES)
def store_url(request, tmp_path):
    """The URL of an empty store of each kind."""
    if request.param == "memory":
        return "memory:"
    if request.param == "sqlite":
        return str(tmp_path / "store.sqlite3")
    return _postgres_schema_url(request)


@pytest.fixture(params=["sqlite", "postgresql"])
def shared_url(request, tmp_path):
    """The URL of an empty store that several processes can share."""
    if request.param == "sqlite":
        return str(tmp_path / "shared.sqlite3")
    return _postgres_schema_url(request)


@pytest.fixture
def engine(store_url):
    """An empty store of each kind, as the default engine."""
    engine = zarn_engine.open_engine(store_url)
    previous = zarn_engine.use_engine(engine)
    yield engine
    zarn_engine.use_engine(previous)
    engine.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """In CI every test runs: a test that would skip there (a server or a browser missing)
    fails instead, with its reason."""
    outcome = yield
    report = outcome.get_result()
    if os.environ.get("CI") and report.skipped and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        report.outcome = "failed"
        report.longrepr = f"skipped in CI, where every test must run: {reason}"
