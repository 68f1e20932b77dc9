"""Schemathesis against our own /openapi.json, in process: requests generated from the schema
(valid ones must succeed, invalid ones must be refused with a 4xx), every answer checked
against the schema with all of Schemathesis's checks. A few examples per operation keep it
quick; bench/ holds no longer run of it."""

import contextlib
import io
import os
import re
import tempfile

import pytest

schemathesis = pytest.importorskip("schemathesis")

from hypothesis import HealthCheck, Phase, settings  # noqa: E402
from schemathesis import GenerationMode  # noqa: E402
from schemathesis.core.parameters import ParameterLocation  # noqa: E402

from zarn_user.cli import main  # noqa: E402
from zarn_user.web import create_app  # noqa: E402

TOKEN = "fuzz-token"
EXAMPLES = int(os.environ.get("ZARN_FUZZ_EXAMPLES", "10"))


def _app():
    folder = tempfile.mkdtemp(prefix="zarn-fuzz-")
    db = os.path.join(folder, "roles.sqlite3")
    with contextlib.redirect_stdout(io.StringIO()):
        for argv in (["init", "shop"], ["grant", "shop", "clerk", "order", "read"],
                     ["include", "shop", "boss", "clerk"]):
            assert main(["--db", db, *argv]) == 0
    return create_app(db, token=TOKEN, allow_hosts=["testserver", "localhost", "127.0.0.1"], version_wait=0.05)


@schemathesis.serializer("application/toml")
def _toml(ctx, value):
    """A TOML file is text to the schema: sent as it is."""
    return value.encode("utf-8", "surrogatepass") if isinstance(value, str) else str(value).encode()


# Examples and fuzzing of each operation; the coverage and stateful phases make thousands
# of requests, for bench runs.
CONFIG = schemathesis.Config.from_dict({
    "phases": {"coverage": {"enabled": False}, "stateful": {"enabled": False}},
    "generation": {"max-examples": EXAMPLES},
    "max-stream-events": 2,
    # A valid request may still find the application moved on from the version its If-Match
    # names: 412, as documented; or ask for history the log no longer holds (or that crosses
    # a whole-document write): 410.
    "checks": {"positive_data_acceptance": {
        "expected-statuses": ["2XX", "3XX", "401", "403", "404", "409", "410", "412", "429", "5XX"]}},
})
schema = schemathesis.openapi.from_asgi("/openapi.json", _app(), config=CONFIG)


def _checks():
    from schemathesis import checks

    import schemathesis.specs.openapi.checks  # noqa: F401  (registers the OpenAPI checks)

    return checks.CHECKS.get_all()


@schemathesis.hook
def map_query(context, query):
    """Whether a cursor is one the API gave, and whether a version was ever committed, no
    schema says: generated cursors are left out (refused with 400), and versions asked
    `at_least` are ones every application has (one ahead answers 503, a server error)."""
    declared = context.operation and {p.name for p in context.operation.query}
    if not query or not declared or not {"cursor", "at_least"} & declared:
        return query  # (an undeclared one is for a request the API must refuse)
    cursor = query.get("cursor")
    if isinstance(cursor, str) and re.fullmatch("[A-Za-z0-9_-]{0,4000}", cursor):
        query = {k: v for k, v in query.items() if k != "cursor"}  # one the schema allows
    for name in ("at_least", "matrix_at_least"):
        if isinstance(query.get(name), int) and query[name] >= 0:
            query[name] = 0
    return query


# A file's body (a Casbin or JSON file to import, a TOML file of assertions) is a string to
# the schema: whether it is a good file no schema says, so a refused one is no failure.
FILE_BODIES = {"/api/v1/apps/{app}/import", "/api/v1/assertions"}


@schema.parametrize()
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck),
          phases=[Phase.explicit, Phase.generate], database=None)
def test_the_api_keeps_its_schema(case):
    from schemathesis.specs.openapi.checks import positive_data_acceptance

    excluded = [positive_data_acceptance] if case.operation.path in FILE_BODIES else []
    # Headers made to break the schema may leave the token out on purpose: it is not put back.
    headers = case.meta.components.get(ParameterLocation.HEADER) if case.meta else None
    negative = headers is not None and headers.mode == GenerationMode.NEGATIVE
    auth = {} if negative else {"Authorization": f"Bearer {TOKEN}"}
    case.call_and_validate(headers=auth, checks=_checks(), excluded_checks=excluded)
