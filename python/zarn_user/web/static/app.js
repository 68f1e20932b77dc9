// The zarn-roles console. Plain DOM: every text from the server goes in through textContent
// (objects and actions are free text), the graph's SVG through a sanitising copy.
"use strict";

const $ = (id) => document.getElementById(id);
const PAGE = 50;
const SHOWN = 300; // rows of a long permission list drawn at once
const state = {
  app: null, role: null, version: null, query: "", offset: 0, total: 0,
  token: sessionStorage.getItem("zarn-token") || "", writable: false, events: null, path: [],
};

// --- small helpers ---------------------------------------------------------------------

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === "text") node.textContent = value;
    else if (key === "on") for (const [ev, fn] of Object.entries(value)) node.addEventListener(ev, fn);
    else if (key === "cls") node.className = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) if (child != null) node.append(child);
  return node;
}

function clear(node, ...children) {
  node.replaceChildren(...children);
  return node;
}

const enc = encodeURIComponent;
const appPath = () => `/api/v1/apps/${enc(state.app)}`;
const rolePath = (role) => `${appPath()}/roles/${enc(role)}`;

async function api(method, path, body, extra) {
  const headers = {};
  const opts = { method, headers };
  if (body !== undefined) {
    if (typeof body === "string") { opts.body = body; headers["Content-Type"] = "text/plain; charset=utf-8"; }
    else { opts.body = JSON.stringify(body); headers["Content-Type"] = "application/json"; }
  }
  if (state.token) headers["Authorization"] = `Bearer ${state.token}`;
  Object.assign(headers, extra || {});
  let response;
  try {
    response = await fetch(path, opts);
  } catch (err) {
    return { ok: false, status: 0, data: { error: `the server does not answer (${err.message})` } };
  }
  const type = response.headers.get("content-type") || "";
  const data = type.includes("json") ? await response.json() : await response.text();
  return { ok: response.ok, status: response.status, data, etag: response.headers.get("etag") };
}

function toast(text) {
  const t = $("toast");
  t.textContent = text;
  t.hidden = false;
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => { t.hidden = true; }, 3500);
}

function showError(target, result) {
  const lines = [result.data && result.data.error ? result.data.error : `error ${result.status}`];
  clear(target, ...lines.join("\n").split("\n").map((line) => el("div", { text: line })));
}

function roleLink(role) {
  return el("a", { href: `/apps/${enc(state.app)}?role=${enc(role)}`, cls: "role", text: role,
                   on: { click: (ev) => { ev.preventDefault(); openRole(role); } } });
}

function pathNodes(path) {
  const out = el("span", { cls: "path" });
  path.forEach((role, n) => {
    if (n) out.append(el("span", { cls: "arrow", text: " \u2192 " }));
    out.append(roleLink(role));
  });
  return out;
}

const pair = (p) => `${p.obj}:${p.act}`;

// --- routing ---------------------------------------------------------------------------

function route() {
  const match = location.pathname.match(/^\/apps\/([^/]+)$/);
  $("home").hidden = !!match;
  $("console").hidden = !match;
  if (!match) {
    state.app = null;
    closeEvents();
    $("app-name").textContent = "";
    $("version").textContent = "";
    loadApps();
    return;
  }
  const app = decodeURIComponent(match[1]);
  const role = new URLSearchParams(location.search).get("role");
  if (app !== state.app) {
    state.app = app;
    state.offset = 0;
    $("app-name").textContent = app;
    document.title = `${app} \u00b7 zarn-roles`;
    $("export-json").href = `${appPath()}/export?format=json`;
    $("export-casbin").href = `${appPath()}/export?format=casbin`;
    openEvents();
    loadRoles();
  }
  if (role) showRole(role); else clearRole();
}

function go(url) {
  history.pushState(null, "", url);
  route();
}

function openRole(role, path) {
  state.path = path || [];
  go(`/apps/${enc(state.app)}?role=${enc(role)}`);
}

// --- the mode: read-only, or changes with the token -------------------------------------

async function loadMode() {
  const r = await api("GET", "/api/v1");
  if (!r.ok) return;
  state.writable = r.data.writable;
  const mode = $("mode");
  if (!r.data.writable) { mode.textContent = "read-only"; mode.className = "badge"; }
  else if (r.data.authorized) { mode.textContent = "changes allowed"; mode.className = "badge badge-ok"; }
  else if (state.token) { mode.textContent = "wrong token"; mode.className = "badge badge-bad"; }
  else { mode.textContent = "token needed for changes"; mode.className = "badge"; }
  document.body.classList.toggle("writable", !!r.data.writable);
}

$("token-form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  state.token = $("token").value.trim();
  if (state.token) sessionStorage.setItem("zarn-token", state.token); else sessionStorage.removeItem("zarn-token");
  $("token").value = "";
  loadMode();
});

// --- applications ----------------------------------------------------------------------

async function loadApps() {
  const r = await api("GET", "/api/v1/apps");
  if (!r.ok) { showError($("home-error"), r); return; }
  const list = $("apps");
  clear(list, ...r.data.apps.map((name) => el("li", {}, el("a", { href: `/apps/${enc(name)}`, text: name,
    on: { click: (ev) => { ev.preventDefault(); go(`/apps/${enc(name)}`); } } }))));
  $("no-apps").hidden = r.data.apps.length > 0;
}

$("create-app").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const name = $("new-app").value.trim();
  const r = await api("POST", "/api/v1/apps", { name });
  if (!r.ok) { showError($("home-error"), r); return; }
  clear($("home-error"));
  go(`/apps/${enc(name)}`);
});

// --- roles -----------------------------------------------------------------------------

async function loadRoles() {
  const q = new URLSearchParams({ q: state.query, offset: state.offset, limit: PAGE });
  const r = await api("GET", `${appPath()}/roles?${q}`);
  if (!r.ok) { clear($("role-list"), el("li", { cls: "error", text: r.data.error || "cannot list roles" })); return; }
  state.total = r.data.total;
  setVersion(r.etag);
  clear($("role-list"), ...r.data.roles.map((role) => el("li", { cls: role === state.role ? "current" : "" },
                                                         roleLink(role))));
  clear($("role-names"), ...r.data.roles.map((role) => el("option", { value: role })));
  $("role-count").textContent = `${r.data.total} role${r.data.total === 1 ? "" : "s"}` +
    (state.query ? ` matching \u201c${state.query}\u201d` : "");
  const pages = Math.max(1, Math.ceil(r.data.total / PAGE));
  $("page").textContent = `${Math.floor(state.offset / PAGE) + 1} / ${pages}`;
  $("prev").disabled = state.offset === 0;
  $("next").disabled = state.offset + PAGE >= r.data.total;
}

let searchTimer = null;
$("role-search").addEventListener("input", () => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(() => { state.query = $("role-search").value.trim(); state.offset = 0; loadRoles(); }, 150);
});
$("prev").addEventListener("click", () => { state.offset = Math.max(0, state.offset - PAGE); loadRoles(); });
$("next").addEventListener("click", () => { state.offset += PAGE; loadRoles(); });

function setVersion(etag) {
  if (!etag) return;
  state.version = etag;
  $("version").textContent = `version ${etag.replace(/"/g, "")}`;
}

function clearRole() {
  state.role = null;
  $("role-view").hidden = true;
  $("no-role").hidden = false;
}

async function showRole(role) {
  const r = await api("GET", rolePath(role));
  if (!r.ok) {
    clearRole();
    clear($("no-role"), el("span", { cls: "error", text: r.data.error || `cannot show ${role}` }));
    return;
  }
  const changedRole = state.role !== role;
  state.role = role;
  setVersion(r.etag);
  $("no-role").hidden = true;
  $("role-view").hidden = false;
  $("role-title").textContent = role;
  if (changedRole) clear($("edit-error"));
  for (const li of $("role-list").children) li.className = li.textContent === role ? "current" : "";
  const data = r.data;

  const direct = $("direct").tBodies[0];
  clear(direct, ...data.permissions.map((p) => el("tr", {},
    el("td", { cls: "perm", text: pair(p) }),
    el("td", { cls: "edit" }, el("button", { type: "button", cls: "link", text: "revoke", title: `revoke ${pair(p)}`,
                                              on: { click: () => revoke(p) } })))));
  if (!data.permissions.length) direct.append(el("tr", {}, el("td", { cls: "muted", text: "none" })));

  clear($("subs"), ...data.sub_roles.map((s) => el("li", {}, roleLink(s),
    el("button", { type: "button", cls: "link edit", text: "\u00d7", title: `exclude ${s}`,
                   "aria-label": `exclude ${s}`, on: { click: () => exclude(s) } }))));
  if (!data.sub_roles.length) $("subs").append(el("li", { cls: "muted", text: "none" }));
  clear($("containers"), ...data.contained_by.map((c) => el("li", {}, roleLink(c))));
  if (!data.contained_by.length) $("containers").append(el("li", { cls: "muted", text: "none" }));

  const implicit = $("implicit").tBodies[0];
  clear(implicit, ...data.implicit.slice(0, SHOWN).map((p) => el("tr", {},
    el("td", { cls: "perm", text: pair(p) }),
    el("td", {}, p.path && p.path.length > 1 ? el("span", {}, el("span", { cls: "muted", text: "through " }),
                                                   pathNodes(p.path))
                                              : el("span", { cls: "muted", text: "directly" })))));
  if (data.implicit.length > SHOWN) {
    implicit.append(el("tr", {}, el("td", { cls: "muted", text: `and ${data.implicit.length - SHOWN} more` })));
  }
  if (!data.implicit.length) implicit.append(el("tr", {}, el("td", { cls: "muted", text: "none" })));
  loadGraph(role, state.path);
}

// --- the graph -------------------------------------------------------------------------

const SVG_TAGS = new Set(["svg", "g", "a", "title", "path", "polygon", "polyline", "ellipse", "circle", "rect",
                          "line", "text", "tspan", "defs", "marker"]);

// A copy of the server's SVG that keeps only drawing elements and plain attributes.
function cleanSvg(node) {
  const name = node.localName;
  if (!SVG_TAGS.has(name)) return null;
  const copy = document.createElementNS("http://www.w3.org/2000/svg", name);
  for (const attr of node.attributes) {
    const key = attr.name.toLowerCase();
    if (key.startsWith("on") || key === "style") continue;
    if (key.endsWith("href")) {
      if (attr.value.startsWith("/")) copy.setAttribute("href", attr.value);
      continue;
    }
    copy.setAttribute(attr.name, attr.value);
  }
  for (const child of node.childNodes) {
    if (child.nodeType === Node.TEXT_NODE) copy.append(document.createTextNode(child.nodeValue));
    else if (child.nodeType === Node.ELEMENT_NODE) {
      const inner = cleanSvg(child);
      if (inner) copy.append(inner);
    }
  }
  return copy;
}

async function loadGraph(role, path) {
  const q = new URLSearchParams({ depth: 1 });
  if (path && path.length) q.set("path", path.join(","));
  const r = await api("GET", `${rolePath(role)}/graph?${q}`);
  const box = $("graph");
  if (!r.ok || typeof r.data !== "string") { clear(box, el("p", { cls: "muted", text: "no graph" })); return; }
  const doc = new DOMParser().parseFromString(r.data, "image/svg+xml");
  const svg = doc.documentElement.localName === "svg" ? cleanSvg(doc.documentElement) : null;
  clear(box, svg || el("p", { cls: "muted", text: "no graph" }));
}

$("graph").addEventListener("click", (ev) => {
  const link = ev.target.closest("a");
  if (!link) return;
  ev.preventDefault();
  const role = new URL(link.getAttribute("href"), location.href).searchParams.get("role");
  if (role) openRole(role);
});

// --- check and who ---------------------------------------------------------------------

$("check-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const roles = $("check-roles").value.split(/[\s,]+/).filter(Boolean);
  const body = { roles, obj: $("check-obj").value, act: $("check-act").value, explain: true };
  const r = await api("POST", `${appPath()}/check`, body);
  const out = $("check-result");
  if (!r.ok) { showError(out, r); return; }
  const d = r.data;
  clear(out,
    el("div", { cls: d.allowed ? "answer yes" : "answer no", text: d.allowed ? "yes" : "no" }),
    el("div", { cls: "explanation", text: d.explanation }));
  if (d.unknown) out.append(el("div", { cls: "muted small", text: `not in ${state.app}: ${d.unknown.join(", ")}` }));
  if (d.allowed) {
    out.append(el("div", { cls: "small" }, el("span", { cls: "muted", text: "path: " }), pathNodes(d.path)));
    openRole(d.path[0], d.path);
  }
});

$("who-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const q = new URLSearchParams({ obj: $("who-obj").value, act: $("who-act").value });
  const r = await api("GET", `${appPath()}/who?${q}`);
  const out = $("who-result");
  if (!r.ok) { showError(out, r); return; }
  clear(out, ...r.data.holders.map((h) => el("li", {}, roleLink(h.role),
    el("div", { cls: "muted small", text: h.explanation }))));
  if (!r.data.holders.length) out.append(el("li", { cls: "muted", text: "no role holds it" }));
});

// --- changes ---------------------------------------------------------------------------

async function change(method, path, body) {
  const headers = state.version ? { "If-Match": state.version } : {};
  const r = await api(method, path, body, headers);
  const target = $("edit-error");
  if (!r.ok) {
    showError(target, r);
    if (r.status === 412) refresh();
    return false;
  }
  clear(target);
  setVersion(r.etag);
  await refresh();
  return true;
}

$("grant-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const ok = await change("POST", `${rolePath(state.role)}/grants`, { obj: $("grant-obj").value, act: $("grant-act").value });
  if (ok) { $("grant-obj").value = ""; $("grant-act").value = ""; }
});

$("include-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const ok = await change("POST", `${rolePath(state.role)}/sub-roles`, { role: $("include-role").value.trim() });
  if (ok) $("include-role").value = "";
});

const revoke = (p) => change("DELETE", `${rolePath(state.role)}/grants`, { obj: p.obj, act: p.act });
const exclude = (sub) => change("DELETE", `${rolePath(state.role)}/sub-roles`, { role: sub });

// --- import ----------------------------------------------------------------------------

async function runImport(dryRun) {
  const file = $("import-file").files[0];
  const out = $("import-result");
  if (!file) { clear(out, el("div", { cls: "error", text: "choose a file first" })); return; }
  const text = await file.text();
  const q = new URLSearchParams({ format: $("import-format").value, name: file.name, dry_run: dryRun ? "1" : "0" });
  const r = await api("POST", `${appPath()}/import?${q}`, text);
  if (!r.ok) {
    clear(out, el("div", { cls: "error", text: r.data.error || `error ${r.status}` }));
    if (r.data.lines) out.append(el("ul", { cls: "bad-lines" }, ...r.data.lines.map((l) => el("li", { text: l }))));
    return;
  }
  const d = r.data;
  const verb = dryRun ? "would add" : "added";
  clear(out, el("div", { cls: "ok", text: `${verb} ${d.added.length} of ${d.entries} entries` +
                                           (d.unchanged ? `, ${d.unchanged} already there` : "") +
                                           (dryRun ? "; nothing written" : "") }));
  if (d.refused.length) {
    out.append(el("div", { cls: "error", text: `${d.refused.length} refused:` }),
               el("ul", { cls: "bad-lines" }, ...d.refused.map((x) => el("li", { text: `${x.where}: ${x.reason}` }))));
  }
  for (const note of d.notes || []) out.append(el("div", { cls: "muted small", text: `note: ${note}` }));
  if (!dryRun) refresh();
}

$("import-form").addEventListener("submit", (ev) => { ev.preventDefault(); runImport(false); });
$("import-dry").addEventListener("click", () => runImport(true));

// --- assertions ------------------------------------------------------------------------

$("assert-file").addEventListener("change", async () => {
  const file = $("assert-file").files[0];
  if (file) $("assert-text").value = await file.text();
});

$("assert-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const file = $("assert-file").files[0];
  const name = file ? file.name : "assertions.toml";
  const q = new URLSearchParams({ name, app: state.app });
  const r = await api("POST", `/api/v1/assertions?${q}`, $("assert-text").value);
  const out = $("assert-result");
  if (!r.ok) {
    clear(out, el("div", { cls: "error", text: r.data.error || `error ${r.status}` }));
    if (r.data.lines) out.append(el("ul", { cls: "bad-lines" }, ...r.data.lines.map((l) => el("li", { text: l }))));
    return;
  }
  const failed = r.data.failed;
  clear(out, el("div", { cls: failed ? "error" : "ok",
                         text: failed ? `${failed} of ${r.data.results.length} fail` : `all ${r.data.results.length} hold` }),
    el("ul", { cls: "plain" }, ...r.data.results.map((x) => el("li", { cls: x.holds ? "holds" : "fails" },
      el("span", { cls: "mark", text: x.holds ? "\u2713 " : "\u2717 " }),
      el("span", { text: x.holds ? `line ${x.line}: ${x.kind} ${x.kind === "check" ? x.roles.join(" ") + " " : ""}${x.obj}:${x.act}`
                                 : x.message }),
      el("div", { cls: "muted small", text: x.detail })))));
});

// --- live updates ----------------------------------------------------------------------

async function refresh() {
  await loadRoles();
  if (state.role) await showRole(state.role);
}

function openEvents() {
  closeEvents();
  const source = new EventSource(`${appPath()}/events`);
  state.events = source;
  source.addEventListener("version", (ev) => {
    const data = JSON.parse(ev.data);
    $("live").textContent = "live";
    if (data.etag !== state.version) {
      if (state.version) toast(`${state.app} changed: now version ${data.version}`);
      refresh();
    }
  });
  source.addEventListener("deleted", () => { toast(`${state.app} was deleted`); closeEvents(); });
  source.onerror = () => { $("live").textContent = "reconnecting\u2026"; };
}

function closeEvents() {
  if (state.events) state.events.close();
  state.events = null;
  $("live").textContent = "";
}

window.addEventListener("popstate", route);
loadMode();
route();
