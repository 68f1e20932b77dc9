"""The OpenAPI 3.1 description of API v1, served at /openapi.json."""

from __future__ import annotations

import functools
from typing import Any

from . import limits
from .limits import Caps
from ..core.text import APP_RULE, MAX_TEXT, ROLE_RULE, TEXT_PATTERN, TEXT_RULE, app_pattern, name_pattern, role_pattern


def _ref(name: str) -> dict[str, Any]:
    return {"$ref": f"#/components/schemas/{name}"}


def _obj(required: list[str], **props: Any) -> dict[str, Any]:
    return {"type": "object", "required": required, "properties": props}


STR = {"type": "string"}
INT = {"type": "integer"}
BOOL = {"type": "boolean"}
NAMES = {"type": "array", "items": STR}
TEXT = {"type": "string", "pattern": TEXT_PATTERN, "minLength": 1, "maxLength": MAX_TEXT,
        "description": f"{TEXT_RULE}; put in NFC form by the server"}
ROLE_NAME = {"type": "string", "pattern": name_pattern(role_pattern().pattern), "minLength": 2, "maxLength": 19,
             "description": f"a role name: {ROLE_RULE}", "example": "clerk"}
APP_NAME = {"type": "string", "pattern": name_pattern(app_pattern().pattern), "minLength": 2, "maxLength": 19,
            "description": f"an application name: {APP_RULE}", "example": "shop"}
ROLES = {"type": "array", "items": ROLE_NAME}
FLAG = {"type": "boolean"}
QUERY_FLAG = {"type": "string", "enum": ["true", "false", "1", "0"]}
USER = {**TEXT, "description": f"a user id: {TEXT_RULE}; put in NFC form by the server", "example": "alice@example.com"}
CAPS = Caps()  # the defaults; a server may be started with others
MAX_ROLES = {"maxItems": CAPS.roles}
PAGES = {"type": "string", "pattern": "^(-?[0-9]{1,9}:[0-9]{1,9})?(,(-?[0-9]{1,9}:[0-9]{1,9})?)*$",
         "maxLength": 400, "description": "LEVEL:OFFSET pairs, comma-separated"}

SCHEMAS = {
    "Error": _obj(["error"], error=STR, code=STR, lines=NAMES, path=NAMES),
    "Permission": _obj(["obj", "act"], obj=TEXT, act=TEXT),
    "Grant": _obj(["obj", "act"], obj=TEXT, act=TEXT, allow_superuser=FLAG, literal=FLAG),
    "Check": _obj(["roles", "obj", "act"], roles={**ROLES, "minItems": 1, **MAX_ROLES}, obj=TEXT, act=TEXT,
                  explain=BOOL),
    "CheckResult": _obj(["allowed", "path", "granted"], allowed=BOOL, path=NAMES,
                        granted={"oneOf": [_ref("Permission"), {"type": "null"}]},
                        unknown=NAMES, explanation=STR),
    "RoleContent": _obj(["name", "roles", "permissions"], name=STR, roles=NAMES,
                        permissions={"type": "array", "items": _ref("Permission")},
                        changed=BOOL, version=INT),
    "Role": _obj(["name", "permissions", "sub_roles", "contained_by", "implicit"], name=STR,
                 permissions={"type": "array", "items": _ref("Permission")}, sub_roles=NAMES, contained_by=NAMES,
                 implicit={"type": "array", "items": _obj(["obj", "act", "path"], obj=STR, act=STR, path=NAMES)}),
    "UserRoles": _obj(["user", "roles"], user=STR, roles=NAMES, refused=NAMES, changed=BOOL, version=INT),
    "LogEntry": _obj(["version", "time", "who", "what", "change"], version=INT, time=STR,
                     who={"type": ["string", "null"]}, what=NAMES,
                     change={"type": ["object", "null"], "description": "the change as stored; null for a "
                             "whole-document write, or one larger than `change_size` says"}, change_size=INT),
    "Holder": _obj(["role", "path", "granted"], role=STR, path=NAMES, granted=_ref("Permission"), explanation=STR),
}
VERSION = {"type": "integer", "minimum": 0, "description": "the version the answer was computed from (also its ETag)"}
NEXT = {"oneOf": [{"type": "string"}, {"type": "null"}],
        "description": "the cursor of the next page (give it as ?cursor=), null after the last page"}

APP = {"name": "app", "in": "path", "required": True, "schema": APP_NAME}
ROLE = {"name": "role", "in": "path", "required": True, "schema": ROLE_NAME}
IF_MATCH = {"name": "If-Match", "in": "header", "required": False,
            "schema": {"type": "string", "pattern": '^(\\*|(W/)?"?[0-9]{1,15}"?( *, *(W/)?"?[0-9]{1,15}"?)*)$'},
            "description": "the ETag last read; 412 when the application changed since"}


def _query(name: str, description: str, required: bool = False, schema: dict[str, Any] = STR) -> dict[str, Any]:
    return {"name": name, "in": "query", "required": required, "schema": schema, "description": description}


COUNT = {"type": "integer", "minimum": 0, "maximum": 10 ** 15 - 1}
AT_LEAST = _query("at_least", "answer from this version or a newer one (a version a write answered); 503 with "
                  "Retry-After when the store does not reach it within a few seconds", schema=COUNT)
LIMIT = _query("limit", "how many at most (1 to 500, 50 when not given)",
               schema={"type": "integer", "minimum": 1, "maximum": 500})
CURSOR = _query("cursor", "the 'next' of the previous page: the page after it, read from the version current "
                "now (400 for a cursor of another list)",
                schema={"type": "string", "pattern": "^[A-Za-z0-9_-]*$", "maxLength": 4000})
OFFSET = _query("offset", "the first one's position (instead of a cursor)", schema=COUNT)
AT_LEAST_USERS = _query("at_least", "answer from this version of the application's assignments or a newer one; "
                        "503 with Retry-After when the store does not reach it within a few seconds", schema=COUNT)
MATRIX_AT_LEAST = _query("matrix_at_least", "answer from this version of the application (its roles) or a newer "
                         "one", schema=COUNT)
READ = (400, 404, 503)
WHO = "the roles that hold a permission, each with its shortest path, a page at a time in the index's order"
WHO_PARAMS = [APP, _query("obj", "object", True, TEXT), _query("act", "action", True, TEXT), LIMIT, CURSOR, OFFSET,
              AT_LEAST]


def _paged(items: str, item: dict[str, Any], **more: Any) -> dict[str, Any]:
    """A page of a list: its items, `next`, `total`, `limit` and the version."""
    return _obj([items, "next", "limit", "version"], **{items: {"type": "array", "items": item}}, next=NEXT,
                total=INT, limit=INT, offset=INT, version=VERSION, **more)


def _versioned(schema: dict[str, Any]) -> dict[str, Any]:
    """An answer's schema with the version it was computed from."""
    if "$ref" in schema:
        return {"allOf": [schema, _obj(["version"], version=VERSION)]}
    return {**schema, "required": [*schema["required"], "version"], "properties": {**schema["properties"],
                                                                                   "version": VERSION}}


def _json(schema: dict[str, Any]) -> dict[str, Any]:
    return {"content": {"application/json": {"schema": schema}}}


def _op(summary: str, ok: dict[str, Any] | None = None, body: dict[str, Any] | None = None,
        params: list[dict[str, Any]] | None = None, write: bool = False, errors: tuple[int, ...] = (400, 404),
        media: str | None = None, content: dict[str, Any] | None = None, status: int = 200,
        heavy: str | None = None) -> dict[str, Any]:
    responses: dict[str, Any] = {str(status): {"description": "done", **(_json(ok) if ok else {})}}
    if media:
        responses[str(status)] = {"description": "done", "content": {media: {"schema": STR}}}
    if content:
        responses[str(status)] = {"description": "done", "content": content}
    codes = set(errors) | ({401, 403, 412} if write else set()) | ({401} if heavy else set())
    if body is not None:
        codes |= {408, 413}
    descriptions = {400: "bad input", 401: "missing or wrong token", 403: "read-only server", 404: "unknown",
                    408: "the body did not arrive in time", 409: "refused (a cycle), or an application that exists",
                    410: "gone: the change log no longer reaches back that far, or a cursor's list was reordered "
                         "since (start again from the first page)",
                    412: "the application moved on", 413: "over a cap (the message names it)",
                    503: "not now: too many open event streams (the cap is in the error), the server is stopping, "
                         "or the store cannot answer (at_least: the version is not reached); try again after "
                         "Retry-After"}
    for code in sorted(codes):
        responses[str(code)] = {"description": descriptions[code], **_json(_ref("Error"))}
    op: dict[str, Any] = {"summary": summary, "responses": responses}
    if body is not None:
        op["requestBody"] = {"required": True, **body}
    if params:
        op["parameters"] = params
    if write:
        op["security"] = [{"bearer": []}]
    elif heavy:  # open to anyone on a server without tokens, and for light requests
        op["security"] = [{"bearer": []}, {}]
        op["description"] = f"Heavy work {heavy} needs a token (a write token or the read token) when the " \
                            "server has one: 401 without it."
    return op


DESCRIPTION = """Role matrices: check, explain, list and change roles and permissions.

**Versions.** Every read answers the version of the application it was computed from: `version` in a JSON
body, and the `ETag` header (the routes of users: the version of the application's assignments, and
`matrix_version`; assertions: `versions`, one per application read). `?at_least=V` asks for an answer computed
from version V or a newer one, such as the version a write answered: a version the server holds is answered at
once, without reading the store; else the server waits a few seconds for the store to reach it, then answers
503 with `Retry-After` and the code `version_not_reached` (the store cannot give that answer now; try again).
`at_least` is a query parameter on every route, POST reads included; in a body it is refused.

**Lists** come a page at a time: `limit` (1 to 500, 50 when not given), `next` the cursor of the following page
(null after the last), given back as `?cursor=`, and `total`. A cursor names a position, not a version: the
next page is read from the version current then, after the last item shown, so that an item of both versions
is never shown twice nor skipped (roles and users by name, permissions by object and action). Holders are in
the order of the application's index; a cursor of an index made anew since is answered 410 (start again). A
cursor given to another list (another route or question) is refused (400); `offset` is still taken where it
was, instead of a cursor."""


@functools.cache
def schema() -> dict[str, Any]:
    from zarn_user import __version__

    p = "/api/v1/apps/{app}"
    r = p + "/roles/{role}"
    ids = [APP, ROLE]
    grant_body = _json(_ref("Grant"))
    revoke_body = _json(_ref("Permission"))
    sub_body = _json(_obj(["role"], role=ROLE_NAME, allow_superuser=FLAG))
    flags = [_query("allow_superuser", "true: allow a path to *:* (everything) for a role or user", schema=QUERY_FLAG),
             _query("literal", "true: store Casbin patterns and conditions as literal text", schema=QUERY_FLAG)]
    paths = {
        "/api/v1": {"get": _op("this server: whether it takes writes, and whether the request's token is right",
                               _obj(["api", "writable", "authorized"], api=STR, version=STR, writable=BOOL,
                                    authorized=BOOL), errors=())},
        "/api/v1/apps": {
            "get": _op("the applications", _obj(["apps"], apps=NAMES), errors=()),
            "post": _op("create an application with the root policy and the admin group",
                        _obj(["created"], created=STR), _json(_obj(["name"], name=APP_NAME)), write=True,
                        errors=(400, 409), status=201),
        },
        p: {"get": _op("an application: counts, and its version as ETag",
                       _obj(["name", "version"], name=STR, version=VERSION, roles=INT, policies=INT, groups=INT),
                       params=[APP, AT_LEAST], errors=READ)},
        p + "/roles": {"get": _op("role names in name order, a page at a time, filtered by a search",
                                  _paged("roles", ROLE_NAME),
                                  params=[APP, _query("q", "part of the name, any case"), LIMIT, CURSOR, OFFSET,
                                          AT_LEAST], errors=READ)},
        r: {"get": _op("a role: direct grants, sub-roles, roles that contain it, implicit permissions with paths",
                       _versioned(_ref("Role")), params=[*ids, AT_LEAST], errors=READ)},
        r + "/graph": {"get": _op("the role's neighbourhood as SVG (its version as ETag)", params=[
            *ids, _query("depth", "levels up and down (1 to 3)", schema=INT),
            _query("path", "roles to highlight, comma-separated"), AT_LEAST], media="image/svg+xml", errors=READ,
            heavy="(always)")},
        r + "/explore": {"get": _op(
            "the roles around the role by level (containers above, sub-roles below, each at its shortest "
            "distance), a page of each level with its total, and the links between those shown",
            _obj(["role", "nodes", "edges", "levels", "path"], role=STR, up=INT, down=INT, limit=INT, nodes={
                "type": "array", "items": _obj(["role", "level", "grants", "grant_count", "sub_count",
                                                "container_count", "marked"], role=STR, level=INT, grants=NAMES,
                                               grant_count=INT, sub_count=INT, container_count=INT, marked=BOOL)},
                 edges={"type": "array", "items": {**NAMES, "minItems": 2, "maxItems": 2}},
                 levels={"type": "array", "items": _obj(["level", "total", "offset", "shown"], level=INT,
                                                        total=INT, offset=INT, shown=INT)}, path=NAMES,
                 version=VERSION),
            params=[*ids, _query("up", "levels of containers (0 to 8)", schema=INT),
                    _query("down", "levels of sub-roles (0 to 8)", schema=INT),
                    _query("limit", "roles shown per level (1 to 200)", schema=INT),
                    _query("pages", "the page of a level, LEVEL:OFFSET,...", schema=PAGES),
                    _query("path", "roles to show and mark, comma-separated"), AT_LEAST], errors=READ,
            heavy=f"(over {limits.WEIGHTS['explore']} roles: levels up and down times roles per level)")},
        r + "/grants": {
            "post": _op("grant a permission (409 for a Casbin pattern or a path to *:* not asked for)",
                        _ref("RoleContent"), grant_body, [*ids, IF_MATCH, *flags], True, (400, 404, 409)),
            "delete": _op("revoke a direct grant", _ref("RoleContent"), revoke_body, [*ids, IF_MATCH], True),
            "put": _op("replace the role's direct grants", _ref("RoleContent"),
                       _json(_obj(["permissions"], permissions={"type": "array", "items": _ref("Permission")},
                                  allow_superuser=FLAG, literal=FLAG)),
                       [*ids, IF_MATCH, *flags], True, (400, 404, 409)),
        },
        r + "/sub-roles": {
            "post": _op("make a role a sub-role (409 with the reason when it closes a cycle or gives a path to *:* "
                        "not asked for)", _ref("RoleContent"), sub_body, [*ids, IF_MATCH, flags[0]], True,
                        (400, 404, 409)),
            "delete": _op("take a direct sub-role away", _ref("RoleContent"),
                          _json(_obj(["role"], role=ROLE_NAME)), [*ids, IF_MATCH], True),
            "put": _op("replace the role's sub-roles", _ref("RoleContent"),
                       _json(_obj(["roles"], roles=ROLES, allow_superuser=FLAG)), [*ids, IF_MATCH, flags[0]], True,
                       (400, 404, 409)),
        },
        p + "/check": {"post": _op(f"whether any of the roles holds the permission, and through which roles "
                                   f"(at most {CAPS.roles} roles; more: 413)",
                                   _versioned(_ref("CheckResult")), _json(_ref("Check")), [APP, AT_LEAST],
                                   errors=READ, heavy=f"(over {limits.LIGHT_ROLES} roles)")},
        p + "/check-batch": {"post": _op(f"several checks, answered in order, of one version (at most {CAPS.checks} "
                                         f"checks and {CAPS.roles} roles named in all; more: 413)",
                                         _obj(["results", "version"], version=VERSION,
                                              results={"type": "array", "items": _ref("CheckResult")}),
                                         _json(_obj(["checks"], checks={"type": "array", "items": _ref("Check"),
                                                                        "maxItems": CAPS.checks})),
                                         [APP, AT_LEAST], errors=READ,
                                         heavy=f"(over {limits.LIGHT_ROLES} roles and checks in all)")},
        p + "/permissions": {"post": _op(
            "every permission the roles hold, through sub-roles at any depth, by object and action, a page at a "
            f"time (limit and cursor in the query; at most {CAPS.roles} roles; more: 413)",
            _paged("permissions", _obj(["obj", "act", "path"], obj=STR, act=STR, path=NAMES), roles=NAMES,
                   unknown=NAMES),
            _json(_obj(["roles"], roles={**ROLES, "minItems": 1, **MAX_ROLES})), [APP, LIMIT, CURSOR, AT_LEAST],
            errors=READ, heavy=f"(over {limits.WEIGHTS['permissions']} roles)")},
        p + "/who": {"get": _op(WHO, _paged("holders", _ref("Holder")), params=WHO_PARAMS, errors=(*READ, 410))},
        p + "/export": {"get": _op(
            "the stored document as JSON, or as Casbin policy CSV (its version as ETag)", params=[
                APP, _query("format", "json (default) or casbin",
                            schema={"type": "string", "enum": ["json", "casbin"]}),
                AT_LEAST], errors=READ,
            content={"application/json": {"schema": {"type": "object", "required": ["name", "policies", "groups"]}},
                     "text/csv": {"schema": STR}}, heavy="(always)")},
        p + "/import": {"post": _op(
            "add a Casbin CSV or JSON file's policies, groups and users' roles, all or nothing: every bad line "
            f"is listed and nothing is written (at most {CAPS.import_entries} entries; more: 413). A dry run is "
            "heavy work: it needs a token when the server has one", _obj(["added", "refused"], added=NAMES, refused={"type": "array"},
                                                     dry_run=BOOL, users_assigned=INT, version=INT),
            {"content": {"text/plain": {"schema": STR}}},
            [APP, IF_MATCH, _query("format", "auto (default), json or casbin",
                                   schema={"type": "string", "enum": ["auto", "json", "casbin"]}),
             _query("dry_run", "true: say what would happen, write nothing (no token needed)", schema=QUERY_FLAG),
             _query("skip_refused", "true: import the rest when lines would close a cycle (else 409, nothing "
                    "written)", schema=QUERY_FLAG),
             _query("merge_builtin", "true: merge roles named like the built-in ones into them", schema=QUERY_FLAG),
             *flags, _query("name", "the file's name, for messages")], True, (400, 404, 409)) | {
                 "security": [{"bearer": []}, {}]}},  # a dry run on a server without tokens needs none
        p + "/events": {"get": _op(
            "server-sent events, each with id: the version it brings: 'version' now and after every change with "
            "the log's records of the changes (after Last-Event-ID's version on reconnection), 'reload' when they "
            "cannot be told, 'deleted'; 503 with Retry-After past the cap on open streams",
            params=[APP, {"name": "Last-Event-ID", "in": "header", "required": False, "schema": STR,
                          "description": "the last id received: the changes since that version are sent first"}],
            content={"text/event-stream": {"schema": {
                "type": "object", "properties": {
                    "event": {"type": "string", "enum": ["version", "reload", "deleted"]},
                    "data": {"type": "string"}, "id": STR, "retry": INT}}}}, errors=(404, 503))},
        p + "/log": {"get": _op(
            "the change log, a page at a time: the newest first (before a version), or the oldest after a "
            "version; with the current version, and the cursor of the next page (null at the end); 410 when "
            "the log no longer reaches back to `since`, 404 for a version the application never had",
            _obj(["app", "version", "entries", "limit"], app=STR, version=VERSION, limit=INT,
                 before={"type": ["integer", "null"]}, since={"type": ["integer", "null"]},
                 entries={"type": "array", "items": _ref("LogEntry")}),
            params=[APP, _query("limit", "how many (1 to 500, default 50)", schema={**INT, "minimum": 1, "maximum": 500}),
                    _query("before", "entries before this version, newest first", schema=COUNT),
                    _query("since", "entries after this version, oldest first (before `before`, when given)",
                           schema=COUNT)],
            errors=(400, 404, 410))},
        p + "/diff": {"get": _op(
            "what changed between two versions (either way): per list the records added and removed, per "
            "field its values; 410 when the log no longer holds every change between them",
            _obj(["from", "to", "added", "removed", "fields", "version"], version=VERSION, added={"type": "object"},
                 removed={"type": "object"}, fields={"type": "object"},
                 **{"from": INT, "to": INT}),
            params=[APP, _query("from", "a version", True, COUNT), _query("to", "another version", True, COUNT)],
            errors=(400, 404, 410), heavy=f"(over {limits.WEIGHTS['diff']} versions apart)")},
        p + "/holders": {"get": _op(WHO + " (the same as who)", _paged("holders", _ref("Holder")),
                                    params=WHO_PARAMS, errors=(*READ, 410))},
        p + "/users": {"get": _op("the users with roles, by id, each with its roles, a page at a time; version: "
                                  "the assignments'", _paged("users", _obj(["user", "roles"], user=STR, roles=NAMES)),
                                  params=[APP, _query("q", "part of the id, any case"), LIMIT, CURSOR, OFFSET,
                                          AT_LEAST_USERS], errors=READ)},
        p + "/users/show": {"get": _op("a user's roles and every permission it holds through them", _obj(
            ["user", "roles", "permissions", "version", "matrix_version"], user=STR, roles=NAMES, gone=NAMES,
            permissions={"type": "array", "items": _obj(["obj", "act", "path"], obj=STR, act=STR, path=NAMES)},
            version=VERSION, matrix_version=VERSION),
            params=[APP, _query("user", "the user id", True, USER), AT_LEAST_USERS, MATRIX_AT_LEAST], errors=READ)},
        p + "/users/assign": {"post": _op(
            "give a user roles of the application (409 for a role that holds *:* not asked for); `version` is "
            "that of the application's assignments, which If-Match names", _ref("UserRoles"),
            _json(_obj(["user", "roles"], user=USER, roles={**ROLES, "minItems": 1}, allow_superuser=FLAG)),
            [APP, IF_MATCH, flags[0]], True, (400, 404, 409))},
        p + "/users/unassign": {"post": _op(
            "take roles from a user; roles it holds otherwise are listed in 'refused', with the way (404 when it "
            "has none of them directly)", _ref("UserRoles"),
            _json(_obj(["user", "roles"], user=USER, roles={**ROLES, "minItems": 1})), [APP, IF_MATCH], True)},
        p + "/users/check": {"post": _op("whether a user holds a permission, and through which roles", _obj(
            ["user", "allowed", "path", "explanation", "version", "matrix_version"], user=STR, allowed=BOOL,
            path=NAMES, wildcard=BOOL, explanation=STR, version=VERSION, matrix_version=VERSION),
            _json(_obj(["user", "obj", "act"], user=USER, obj=TEXT, act=TEXT)), [APP, AT_LEAST_USERS, MATRIX_AT_LEAST],
            errors=READ)},
        p + "/users/who": {"get": _op(
            "every user that holds a permission, by id, with its shortest path, a page at a time",
            _paged("holders", _obj(["user", "path"], user=STR, path=NAMES, explanation=STR),
                   matrix_version=VERSION),
            params=[APP, _query("obj", "object", True, TEXT), _query("act", "action", True, TEXT), LIMIT, CURSOR,
                    OFFSET, AT_LEAST_USERS, MATRIX_AT_LEAST], errors=READ)},
        "/api/v1/assertions": {"post": _op("run a TOML file of assertions; versions: that of each application read "
                                           f"(at most {CAPS.assertions} assertions and {CAPS.assertion_bytes} bytes; "
                                           "more: 413)",
                                           _obj(["results", "failed", "versions"], results={"type": "array"},
                                                failed=INT, versions={"type": "object",
                                                                      "additionalProperties": VERSION}),
                                           {"content": {"application/toml": {"schema": STR}}},
                                           [_query("name", "the file's name, for messages"),
                                            _query("app", "the application of a file that names none"),
                                            _query("at_least", "a version of the application given as app (which "
                                                   "it then needs)", schema=COUNT)],
                                           errors=(400, 503), heavy="(always)")},
    }
    return {
        "openapi": "3.1.0",
        "info": {"title": "zarn-roles", "version": __version__,
                 "description": DESCRIPTION},
        "paths": paths,
        "components": {"schemas": SCHEMAS, "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer"}}},
    }
