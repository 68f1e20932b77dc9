"""MkDocs hooks: pages made from the repository at build time.

- `reference/http-api.md`: the HTTP API, rendered from the OpenAPI description that the
  server itself serves (zarn_user.web.openapi, from the installed package: the site is
  built where the package is installed).
- `benchmarks.md` and its plots: bench/RESULTS.md and bench/*.png as they are committed.
"""

from __future__ import annotations

import importlib
import json
from pathlib import Path
from typing import Any

from mkdocs.structure.files import File, Files

ROOT = Path(__file__).resolve().parent.parent


def openapi_schema() -> dict[str, Any]:
    module = importlib.import_module("zarn_user.web.openapi")
    schema: dict[str, Any] = module.schema()
    return schema


def _schema_text(schema: dict[str, Any] | None) -> str:
    if not schema:
        return ""
    if "$ref" in schema:
        name = schema["$ref"].rsplit("/", 1)[-1]
        return f"[{name}](#{name.lower()})"
    if "oneOf" in schema:
        return " or ".join(_schema_text(s) for s in schema["oneOf"])
    if "allOf" in schema:
        return " with ".join(_schema_text(s) for s in schema["allOf"])
    kind = schema.get("type")
    if kind == "array":
        return f"array of {_schema_text(schema.get('items'))}"
    if kind == "object" and schema.get("properties"):
        required = set(schema.get("required", []))
        fields = ", ".join(f"`{name}`{'' if name in required else '?'}: {_schema_text(sub)}"
                           for name, sub in schema["properties"].items())
        return f"object {{{fields}}}"
    if "enum" in schema:
        return " \\| ".join(f"`{v}`" for v in schema["enum"])
    return f"{kind}" if kind else "any"


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def http_api_page(schema: dict[str, Any]) -> str:
    info = schema.get("info", {})
    out = ["# HTTP API", "",
           f"{info.get('title', 'API')}, version {info.get('version', '')}. This page is generated "
           "at build time from the OpenAPI description that the server serves at "
           "`/openapi.json`.", ""]
    if info.get("description"):
        out += [info["description"], ""]
    out += ["In the shapes below, `field?` marks a field that may be left out.", ""]
    out += ["Reads need no token, except heavy ones (each says so) on a server that has one; writes need "
            "`Authorization: Bearer TOKEN`. Past a cap a request is answered 413 with the cap in the message. "
            "Every write answers "
            "with the application's new version as `ETag`; sent back as `If-Match`, a write to an "
            "application that changed since is answered 412 and nothing is written.", ""]
    for path, item in schema.get("paths", {}).items():
        for method, op in item.items():
            if method not in ("get", "post", "put", "delete", "patch"):
                continue
            out += [f"## {method.upper()} `{path}`", ""]
            if op.get("summary"):
                out += [op["summary"], ""]
            if op.get("description"):
                out += [op["description"], ""]
            params = [*item.get("parameters", []), *op.get("parameters", [])]
            if params:
                out += ["| parameter | in | required | type | description |", "|---|---|---|---|---|"]
                for p in params:
                    out.append(f"| `{p['name']}` | {p.get('in', '')} | {'yes' if p.get('required') else 'no'} | "
                               f"{_cell(_schema_text(p.get('schema')))} | {_cell(p.get('description', ''))} |")
                out.append("")
            body = op.get("requestBody")
            if body:
                kinds = ", ".join(f"`{k}`: {_schema_text(v.get('schema'))}" for k, v in body.get("content", {}).items())
                out += [f"Body: {kinds}", ""]
            responses = op.get("responses", {})
            if responses:
                out += ["| status | answer |", "|---|---|"]
                for status, r in responses.items():
                    content = r.get("content", {})
                    shape = ", ".join(_schema_text(v.get("schema")) or f"`{k}`" for k, v in content.items())
                    text = r.get("description", "")
                    out.append(f"| {status} | {_cell(text)}{' — ' + shape if shape else ''} |")
                out.append("")
    schemas = schema.get("components", {}).get("schemas", {})
    if schemas:
        out += ["## Schemas", ""]
        for name, s in schemas.items():
            out += [f"### {name}", ""]
            props = s.get("properties", {})
            required = set(s.get("required", []))
            if props:
                out += ["| field | type | required |", "|---|---|---|"]
                for field, fs in props.items():
                    out.append(f"| `{field}` | {_cell(_schema_text(fs))} | {'yes' if field in required else 'no'} |")
                out.append("")
            else:
                out += [f"`{json.dumps(s)}`", ""]
    return "\n".join(out) + "\n"


def benchmarks_page() -> str:
    text = (ROOT / "bench" / "RESULTS.md").read_text(encoding="utf-8")
    intro = ("The figures below are `bench/RESULTS.md` as committed, written by the scripts under "
             "`bench/` (see [Development](development.md#benchmarks) for how to run them).\n\n")
    title, _, rest = text.partition("\n")
    return f"{title}\n\n{intro}{rest}"


def on_files(files: Files, config: Any) -> Files:
    files.append(File.generated(config, "reference/http-api.md", content=http_api_page(openapi_schema())))
    files.append(File.generated(config, "benchmarks.md", content=benchmarks_page()))
    for plot in sorted((ROOT / "bench").glob("*.png")):
        files.append(File.generated(config, plot.name, abs_src_path=str(plot)))
    return files
