// The zarn-roles console. Plain DOM: every text from the server goes in through textContent
// (objects and actions are free text), the graph's SVG through a sanitising copy.
"use strict";

const $ = (id) => document.getElementById(id);
const PAGE = 50;
const SHOWN = 100; // rows of a long permission list drawn at once
const LISTED = 50; // holders listed at once
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

// Exports are heavy work: fetched with the token (when one is given) and saved from the
// answer, so that a server with a token serves them to the page too.
for (const [id, ext] of [["export-json", "json"], ["export-casbin", "csv"]]) {
  $(id).addEventListener("click", async (ev) => {
    ev.preventDefault();
    const headers = state.token ? { Authorization: `Bearer ${state.token}` } : {};
    let response;
    try {
      response = await fetch(ev.currentTarget.href, { headers });
    } catch (err) {
      toast(`the server does not answer (${err.message})`);
      return;
    }
    if (!response.ok) {
      const data = await response.json().catch(() => ({}));
      toast(data.error || `error ${response.status}`);
      return;
    }
    const url = URL.createObjectURL(await response.blob());
    el("a", { href: url, download: `${state.app}.${ext}` }).click();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  });
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
const ROLE_NAME = /^(?=[A-Za-z0-9])(?!.*__)[A-Za-z0-9_]{1,18}[A-Za-z0-9]$/; // the module's rule for role names

// Long lists are shown a page at a time: `size` rows, then a button for the next page.
function paged(target, items, render, size, wrap) {
  const more = (from) => {
    const rows = items.slice(from, from + size).map(render);
    const left = items.length - from - size;
    if (left > 0) {
      const button = el("button", { type: "button", cls: "more-rows",
        text: `show ${Math.min(size, left)} more (${left.toLocaleString("en")} left)` });
      const holder = wrap(button);
      button.addEventListener("click", () => { holder.remove(); target.append(...more(from + size)); });
      rows.push(holder);
    }
    return rows;
  };
  clear(target, ...more(0));
}

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
    loadPlayground();
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
    users.query = "";
    users.offset = 0;
    clear($("user-result"));
    loadUsers();
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
  paged(implicit, data.implicit, (p) => el("tr", {},
    el("td", { cls: "perm", text: pair(p) }),
    el("td", {}, p.path && p.path.length > 1 ? el("span", {}, el("span", { cls: "muted", text: "through " }),
                                                   pathNodes(p.path))
                                              : el("span", { cls: "muted", text: "directly" }))),
        SHOWN, (button) => el("tr", {}, el("td", { colspan: 2 }, button)));
  if (!data.implicit.length) implicit.append(el("tr", {}, el("td", { cls: "muted", text: "none" })));
  loadGraph(role, state.path);
}

// --- the graph -------------------------------------------------------------------------
// Drawn here from the explorer's answer (roles by level around the role in focus), so that
// it can be zoomed (wheel, buttons), panned (drag), deepened up and down, and grown: the "+"
// of a role adds its neighbours; "+N more" at the end of a level shows its next page.

const SVGNS = "http://www.w3.org/2000/svg";
const HOT = "#c0392b";
const G = {
  role: null, path: [], up: 1, down: 1, limit: 24, pages: {}, expanded: new Set(),
  nodes: new Map(), edges: [], levels: [], scale: 1, x: 0, y: 0, width: 0, height: 0, fitted: null,
};
const ROW = 6; // roles per row of a level; a level with more wraps
const CHAR_W = 7.2;
const MAX_CHARS = 28;

function svg(tag, attrs, ...children) {
  const node = document.createElementNS(SVGNS, tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (key === "text") node.textContent = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) if (child != null) node.append(child);
  return node;
}

const short = (text) => (text.length > MAX_CHARS ? `${text.slice(0, MAX_CHARS - 1)}\u2026` : text);

function explorePath(role, extra) {
  const q = new URLSearchParams(extra);
  return `${rolePath(role)}/explore?${q}`;
}

async function loadGraph(role, path) {
  if (G.role !== role || (path || []).join() !== G.path.join()) {
    G.pages = {};
    G.expanded = new Set();
    G.fitted = null;
  }
  G.role = role;
  G.path = path || [];
  const pages = Object.entries(G.pages).map(([level, offset]) => `${level}:${offset}`).join(",");
  const q = { up: G.up, down: G.down, limit: G.limit, pages };
  if (G.path.length) q.path = G.path.join(",");
  const r = await api("GET", explorePath(role, q));
  const box = $("graph");
  if (!r.ok || typeof r.data !== "object") { clear(box, el("p", { cls: "muted", text: "no graph" })); return; }
  if (G.role !== role) return; // another role was opened meanwhile
  G.nodes = new Map(r.data.nodes.map((n) => [n.role, n]));
  G.edges = r.data.edges;
  G.levels = r.data.levels;
  for (const grown of [...G.expanded]) await grow(grown, false);
  draw();
}

// Adds the neighbours of a role drawn already, one level each way.
async function grow(role, redraw = true) {
  const node = G.nodes.get(role);
  if (!node) return;
  const r = await api("GET", explorePath(role, { up: 1, down: 1, limit: G.limit }));
  if (!r.ok || G.role == null) return;
  G.expanded.add(role);
  for (const n of r.data.nodes) {
    if (!G.nodes.has(n.role)) G.nodes.set(n.role, { ...n, level: node.level + n.level, marked: false });
  }
  const have = new Set(G.edges.map(([a, b]) => `${a}\n${b}`));
  for (const [a, b] of r.data.edges) if (!have.has(`${a}\n${b}`)) G.edges.push([a, b]);
  if (redraw) draw();
}

function nodeBox(n) {
  const lines = [n.role, ...n.grants];
  if (n.grant_count > n.grants.length) lines.push(`+${n.grant_count - n.grants.length} more`);
  const w = Math.max(...lines.map((s) => short(s).length)) * CHAR_W + 28;
  return { lines, w: Math.max(w, 60), h: lines.length * 15 + 10 };
}

// Rows by level, containers above; within a level, roles near the mean position of the
// roles they link to on the level nearer the focus, wrapped every ROW roles.
function layout() {
  const byLevel = new Map();
  for (const n of G.nodes.values()) {
    if (!byLevel.has(n.level)) byLevel.set(n.level, []);
    byLevel.get(n.level).push(n);
  }
  const levels = [...byLevel.keys()].sort((a, b) => a - b);
  const subs = new Map();
  const containers = new Map();
  for (const [a, b] of G.edges) {
    (subs.get(a) || subs.set(a, []).get(a)).push(b);
    (containers.get(b) || containers.set(b, []).get(b)).push(a);
  }
  const order = new Map(); // role -> position within its level
  const sortLevel = (level) => {
    const near = level > 0 ? containers : subs;
    const list = byLevel.get(level);
    const key = new Map(list.map((n, i) => {
      const xs = (near.get(n.role) || []).filter((m) => order.has(m)).map((m) => order.get(m));
      return [n.role, xs.length ? xs.reduce((s, x) => s + x, 0) / xs.length : 1e6 + i];
    }));
    list.sort((a, b) => key.get(a.role) - key.get(b.role));
    list.forEach((n, i) => order.set(n.role, i));
  };
  if (byLevel.has(0)) byLevel.get(0).forEach((n, i) => order.set(n.role, i));
  for (const level of levels.filter((l) => l > 0)) sortLevel(level);
  for (const level of levels.filter((l) => l < 0).reverse()) sortLevel(level);

  const info = new Map(G.levels.map((l) => [l.level, l]));
  const gapX = 18, gapY = 46, rowGap = 22, left = 96;
  const rows = []; // { items, level, first }: the rows of every level, top to bottom
  for (const level of levels) {
    const list = byLevel.get(level);
    const extra = info.get(level);
    const items = list.map((n) => ({ n, ...nodeBox(n) }));
    if (extra && extra.total > extra.shown) {
      const end = extra.offset + extra.shown;
      items.push({ more: extra, lines: [`+${(extra.total - extra.shown).toLocaleString("en")} more`,
        `${extra.offset + 1}\u2013${end} of ${extra.total.toLocaleString("en")} \u00b7 ${end < extra.total ? "next" : "first"} \u203a`],
      w: 160, h: 40 });
    }
    for (let start = 0; start < items.length; start += ROW) {
      rows.push({ items: items.slice(start, start + ROW), level, first: start === 0, last: start + ROW >= items.length,
                  total: extra ? extra.total : list.length });
    }
  }
  const rowWidth = (row) => row.items.reduce((s, it) => s + it.w, 0) + gapX * (row.items.length - 1);
  const widest = Math.max(0, ...rows.map(rowWidth));
  const place = new Map();
  const more = [];
  const labels = [];
  let y = 16;
  for (const row of rows) {
    if (row.first) labels.push({ level: row.level, y, total: row.total });
    let x = left + (widest - rowWidth(row)) / 2; // each row centred under the widest
    const h = Math.max(...row.items.map((it) => it.h));
    for (const it of row.items) {
      if (it.more) more.push({ ...it, x, y });
      else place.set(it.n.role, { x, y, w: it.w, h: it.h, lines: it.lines, n: it.n });
      x += it.w + gapX;
    }
    y += h + (row.last ? gapY : rowGap);
  }
  return { place, more, labels, width: left + widest + 16, height: y - gapY + 24 };
}

function draw() {
  const box = $("graph");
  const { place, more, labels, width, height } = layout();
  G.width = width;
  G.height = height;
  const onPath = new Set(G.path.slice(1).map((r, i) => `${G.path[i]}\n${r}`));
  const view = svg("g", { class: "viewport" });
  for (const l of labels) {
    const name = l.level === 0 ? "focus" : l.level < 0 ? `up ${-l.level}` : `down ${l.level}`;
    view.append(svg("text", { x: 8, y: l.y + 14, class: "level", fill: "#6b7785", "font-size": 11, text: name }),
                svg("text", { x: 8, y: l.y + 28, fill: "#9aa4af", "font-size": 10,
                              text: `${l.total.toLocaleString("en")} role${l.total === 1 ? "" : "s"}` }));
  }
  for (const [a, b] of G.edges) {
    const p = place.get(a), q = place.get(b);
    if (!p || !q) continue;
    const marked = onPath.has(`${a}\n${b}`);
    const up = q.y < p.y; // an expanded role's link may point upwards
    view.append(svg("g", { class: "edge" }, svg("title", { text: `${a} contains ${b}` }),
      svg("line", { x1: p.x + p.w / 2, y1: up ? p.y : p.y + p.h, x2: q.x + q.w / 2, y2: up ? q.y + q.h : q.y,
                    stroke: marked ? HOT : "#a5b0bb", "stroke-width": marked ? 2.5 : 1.1, "stroke-opacity": marked ? 1 : 0.7,
                    "marker-end": marked ? "url(#arrow-hot)" : "url(#arrow)" })));
  }
  const link = (role) => `/apps/${enc(state.app)}?role=${enc(role)}`;
  for (const [role, p] of place) {
    const n = p.n;
    const focus = role === G.role;
    const stroke = n.marked ? HOT : focus ? "#1f5f9e" : "#5b6b7b";
    const fill = n.marked ? "#fdecea" : focus ? "#e8f1fb" : "#ffffff";
    const g = svg("g", { class: "node", "data-role": role }, svg("title", { text: role }),
      svg("rect", { x: p.x, y: p.y, width: p.w, height: p.h, rx: 6, fill, stroke,
                    "stroke-width": n.marked ? 2.5 : focus ? 2 : 1 }),
      svg("a", { href: link(role) }, svg("text", { x: p.x + p.w / 2, y: p.y + 17, "text-anchor": "middle",
                                                    "font-weight": "bold", fill: "#1d2733", text: short(role) })));
    p.lines.slice(1).forEach((line, i) => g.append(svg("text", {
      x: p.x + p.w / 2, y: p.y + 32 + 15 * i, "text-anchor": "middle", fill: "#4a5663", "font-size": 11,
      text: short(line) })));
    const drawn = G.edges.filter(([a, b]) => a === role || b === role).length;
    if (n.sub_count + n.container_count > drawn && !G.expanded.has(role)) {
      g.append(svg("g", { class: "expand", "data-role": role },
        svg("title", { text: `show the neighbours of ${role} (${n.container_count} up, ${n.sub_count} down)` }),
        svg("circle", { cx: p.x + p.w, cy: p.y, r: 8, fill: "#ffffff", stroke: "#1f5f9e" }),
        svg("text", { x: p.x + p.w, y: p.y + 4, "text-anchor": "middle", "font-size": 12, fill: "#1f5f9e",
                      text: "+" })));
    }
    view.append(g);
  }
  for (const m of more) {
    view.append(svg("g", { class: "more", "data-level": m.more.level },
      svg("title", { text: `the next ${G.limit} roles of this level` }),
      svg("rect", { x: m.x, y: m.y, width: m.w, height: m.h, rx: 6, fill: "#f3f5f7", stroke: "#b7c0ca",
                    "stroke-dasharray": "4 3" }),
      svg("text", { x: m.x + m.w / 2, y: m.y + 16, "text-anchor": "middle", fill: "#1d2733", text: m.lines[0] }),
      svg("text", { x: m.x + m.w / 2, y: m.y + 31, "text-anchor": "middle", fill: "#6b7785", "font-size": 11,
                    text: m.lines[1] })));
  }
  const marker = (id, colour) => svg("marker", { id, viewBox: "0 0 10 10", refX: 10, refY: 5, markerWidth: 7,
    markerHeight: 7, orient: "auto-start-reverse" }, svg("path", { d: "M0,0 L10,5 L0,10 z", fill: colour }));
  const root = svg("svg", { class: "role-graph", "font-family": "Helvetica, Arial, sans-serif", "font-size": 13 },
                   svg("defs", {}, marker("arrow", "#a5b0bb"), marker("arrow-hot", HOT)), view);
  clear(box, root);
  G.view = view;
  if (G.fitted !== G.role) { initialView(place.get(G.role)); G.fitted = G.role; }
  transform();
  const shown = G.nodes.size;
  const total = 1 + G.levels.reduce((s, l) => s + l.total, 0);
  $("graph-info").textContent = `${shown.toLocaleString("en")} of ${total.toLocaleString("en")} roles within ` +
    `${G.up} up and ${G.down} down shown \u00b7 drag to pan, wheel to zoom, + shows a role's neighbours`;
}

function transform() {
  if (G.view) G.view.setAttribute("transform", `translate(${G.x.toFixed(1)} ${G.y.toFixed(1)}) scale(${G.scale.toFixed(3)})`);
}

// The whole graph when it fits at a readable size, else the focus at a readable size.
function initialView(focus) {
  const box = $("graph");
  const fit = Math.min(box.clientWidth / G.width, box.clientHeight / G.height, 1.25);
  if (fit >= 0.75 || !focus) { fitView(); return; }
  G.scale = 0.9;
  G.x = box.clientWidth / 2 - (focus.x + focus.w / 2) * G.scale;
  G.y = Math.min(16, box.clientHeight / 3 - focus.y * G.scale);
}

function fitView() {
  const box = $("graph");
  G.scale = Math.max(0.05, Math.min(box.clientWidth / G.width, box.clientHeight / G.height, 1.25));
  G.x = (box.clientWidth - G.width * G.scale) / 2;
  G.y = Math.max(0, (box.clientHeight - G.height * G.scale) / 2);
  transform();
}

function zoom(factor, cx, cy) {
  const box = $("graph");
  const px = cx ?? box.clientWidth / 2, py = cy ?? box.clientHeight / 2;
  const scale = Math.min(4, Math.max(0.05, G.scale * factor));
  G.x = px - ((px - G.x) * scale) / G.scale;
  G.y = py - ((py - G.y) * scale) / G.scale;
  G.scale = scale;
  transform();
}

$("zoom-in").addEventListener("click", () => zoom(1.25));
$("zoom-out").addEventListener("click", () => zoom(0.8));
$("zoom-fit").addEventListener("click", fitView);
for (const id of ["graph-up", "graph-down"]) {
  $(id).addEventListener("change", () => {
    G.up = Number($("graph-up").value);
    G.down = Number($("graph-down").value);
    G.pages = {};
    G.fitted = null;
    if (G.role) loadGraph(G.role, G.path);
  });
}

$("graph").addEventListener("wheel", (ev) => {
  ev.preventDefault();
  const rect = $("graph").getBoundingClientRect();
  zoom(Math.exp(-ev.deltaY * 0.0015), ev.clientX - rect.left, ev.clientY - rect.top);
}, { passive: false });

let drag = null;
$("graph").addEventListener("pointerdown", (ev) => {
  if (ev.button !== 0) return;
  drag = { x: ev.clientX, y: ev.clientY, gx: G.x, gy: G.y, moved: false };
});
window.addEventListener("pointermove", (ev) => {
  if (!drag) return;
  const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
  if (!drag.moved && Math.abs(dx) + Math.abs(dy) < 4) return;
  drag.moved = true;
  $("graph").firstElementChild?.classList.add("dragging");
  G.x = drag.gx + dx;
  G.y = drag.gy + dy;
  transform();
});
window.addEventListener("pointerup", () => {
  if (drag && drag.moved) {
    G.justDragged = true;
    setTimeout(() => { G.justDragged = false; }, 0);
  }
  drag = null;
  $("graph").firstElementChild?.classList.remove("dragging");
});

$("graph").addEventListener("click", (ev) => {
  if (G.justDragged) { ev.preventDefault(); return; }
  const grown = ev.target.closest(".expand");
  if (grown) { ev.preventDefault(); grow(grown.getAttribute("data-role")); return; }
  const page = ev.target.closest(".more");
  if (page) {
    const level = Number(page.getAttribute("data-level"));
    const info = G.levels.find((l) => l.level === level);
    const next = info.offset + G.limit;
    G.pages[level] = next < info.total ? next : 0;
    loadGraph(G.role, G.path);
    return;
  }
  const link = ev.target.closest("a");
  if (!link) return;
  ev.preventDefault();
  const role = new URL(link.getAttribute("href"), location.href).searchParams.get("role");
  if (role) openRole(role);
});

// --- check and who ---------------------------------------------------------------------

$("check-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const words = $("check-roles").value.split(/[\s,]+/).filter(Boolean);
  // One word that is no role name (an e-mail, user:42) is a user: checked as one.
  if (words.length === 1 && !ROLE_NAME.test(words[0]) && $("check-kind").value !== "user") {
    $("check-kind").value = "user";
    $("check-kind").dispatchEvent(new Event("change"));
  }
  const asUser = $("check-kind").value === "user";
  const obj = $("check-obj").value, act = $("check-act").value;
  const r = asUser
    ? await api("POST", `${appPath()}/users/check`, { user: $("check-roles").value.trim(), obj, act })
    : await api("POST", `${appPath()}/check`, { roles: words, obj, act, explain: true });
  const out = $("check-result");
  if (!r.ok) { showError(out, r); return; }
  const d = r.data;
  clear(out,
    el("div", { cls: d.allowed ? "answer yes" : "answer no", text: d.allowed ? "yes" : "no" }),
    el("div", { cls: "explanation", text: d.explanation }));
  if (d.unknown) out.append(el("div", { cls: "muted small", text: `not in ${state.app}: ${d.unknown.join(", ")}` }));
  if (d.allowed) {
    out.append(el("div", { cls: "small" }, el("span", { cls: "muted", text: "path: " }),
                  asUser ? el("span", {}, el("span", { text: `${d.user} \u2192 ` }), pathNodes(d.path)) : pathNodes(d.path)));
    openRole(d.path[0], d.path);
  }
});

$("check-kind").addEventListener("change", () => {
  const asUser = $("check-kind").value === "user";
  $("check-roles").placeholder = asUser ? "user id" : "roles (space-separated)";
  if (asUser) $("check-roles").removeAttribute("list"); else $("check-roles").setAttribute("list", "role-names");
});

// Holders come a server page at a time (at 10^5 roles a permission may have as many), each
// page after the one before by the cursor the server gave (`next`). A cursor the server no
// longer follows (410: the list was reordered) starts the list again.
async function whoPaged(path, q, out, cursor, shown, render, none) {
  const params = { ...q, limit: LISTED, ...(cursor ? { cursor } : {}) };
  const r = await api("GET", `${path}?${new URLSearchParams(params)}`);
  if (r.status === 410 && cursor) { whoPaged(path, q, out, null, 0, render, none); return; }
  if (!r.ok) { showError(out, r); return; }
  if (!cursor) clear(out);
  for (const h of r.data.holders) out.append(render(h));
  const now = shown + r.data.holders.length;
  const left = Math.max(0, r.data.total - now);
  if (r.data.next) {
    const holder = el("li", {}, el("button", { type: "button", cls: "more-rows",
      text: `show ${Math.min(LISTED, left || LISTED)} more (${left.toLocaleString("en")} left)`,
      on: { click: () => { holder.remove(); whoPaged(path, q, out, r.data.next, now, render, none); } } }));
    out.append(holder);
  }
  if (!r.data.total) out.append(el("li", { cls: "muted", text: none }));
}

$("who-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const q = { obj: $("who-obj").value, act: $("who-act").value };
  const out = $("who-result");
  if ($("who-users").checked) {
    await whoPaged(`${appPath()}/users/who`, q, out, null, 0, (h) => el("li", {}, el("a", { href: "#", cls: "user",
      text: h.user, on: { click: (ev2) => { ev2.preventDefault(); showUser(h.user); } } }),
      el("div", { cls: "muted small", text: h.explanation })), "no user holds it");
    return;
  }
  await whoPaged(`${appPath()}/holders`, q, out, null, 0, (h) => el("li", {}, roleLink(h.role),
    el("div", { cls: "muted small", text: h.explanation })), "no role holds it");
});

// --- users -----------------------------------------------------------------------------

const users = { query: "", offset: 0 };

async function loadUsers() {
  const q = new URLSearchParams({ q: users.query, offset: users.offset, limit: PAGE });
  const r = await api("GET", `${appPath()}/users?${q}`);
  if (!r.ok) { clear($("user-list"), el("li", { cls: "error", text: r.data.error || "cannot list users" })); return; }
  clear($("user-list"), ...r.data.users.map((u) => el("li", {},
    el("a", { href: "#", cls: "user", text: u.user, on: { click: (ev) => { ev.preventDefault(); showUser(u.user); } } }),
    el("span", { cls: "roles", text: u.roles.join(" ") }))));
  if (!r.data.total) $("user-list").append(el("li", { cls: "muted", text: users.query ? "no user matches" : "no users" }));
  const pages = Math.max(1, Math.ceil(r.data.total / PAGE));
  $("user-page").textContent = `${Math.floor(users.offset / PAGE) + 1} / ${pages}`;
  $("user-prev").disabled = users.offset === 0;
  $("user-next").disabled = users.offset + PAGE >= r.data.total;
}

let userTimer = null;
$("user-search").addEventListener("input", () => {
  clearTimeout(userTimer);
  userTimer = setTimeout(() => { users.query = $("user-search").value.trim(); users.offset = 0; loadUsers(); }, 150);
});
$("user-prev").addEventListener("click", () => { users.offset = Math.max(0, users.offset - PAGE); loadUsers(); });
$("user-next").addEventListener("click", () => { users.offset += PAGE; loadUsers(); });

async function showUser(user) {
  $("user-id").value = user;
  const r = await api("GET", `${appPath()}/users/show?${new URLSearchParams({ user })}`);
  const out = $("user-result");
  if (!r.ok) { showError(out, r); return; }
  const d = r.data;
  const roles = el("div", {}, el("span", { cls: "muted", text: "roles: " }));
  d.roles.forEach((role, i) => { if (i) roles.append(", "); roles.append(roleLink(role)); });
  if (!d.roles.length) roles.append(el("span", { cls: "muted", text: "none" }));
  const perms = el("ul", { cls: "plain small" });
  paged(perms, d.permissions, (p) => el("li", { cls: "perm", text: pair(p) }), LISTED, (button) => el("li", {}, button));
  clear(out, el("div", { cls: "answer", text: d.user }), roles,
        el("div", { cls: "muted small", text: `${d.permissions.length} permission(s)` }), perms);
  if (d.gone.length) out.append(el("div", { cls: "muted small", text: `no longer in ${state.app}: ${d.gone.join(", ")}` }));
}

$("user-form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const user = $("user-id").value.trim();
  if (user) showUser(user);
});

async function assignment(verb) {
  const user = $("user-id").value.trim();
  const roles = $("user-roles").value.split(/[\s,]+/).filter(Boolean);
  const body = verb === "assign" ? { user, roles, allow_superuser: $("user-allow-superuser").checked } : { user, roles };
  const r = await api("POST", `${appPath()}/users/${verb}`, body);
  const out = $("user-result");
  const direct = r.ok || (r.data && r.data.code === "not_direct");  // none held directly: each said why
  if (!direct) { showError(out, r); return; }
  $("user-roles").value = "";
  $("user-allow-superuser").checked = false;  // asked for one change at a time
  await showUser(user);
  const refused = r.ok ? r.data.refused || [] : r.data.error.split("\n");
  for (const line of refused) out.append(el("div", { cls: "error", text: line }));
  loadUsers();
}

$("user-assign").addEventListener("click", () => assignment("assign"));
$("user-unassign").addEventListener("click", () => assignment("unassign"));

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
  const ok = await change("POST", `${rolePath(state.role)}/grants`, { obj: $("grant-obj").value, act: $("grant-act").value,
                                                                         allow_superuser: $("allow-superuser").checked });
  if (ok) { $("grant-obj").value = ""; $("grant-act").value = ""; $("allow-superuser").checked = false; }
});

$("include-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const ok = await change("POST", `${rolePath(state.role)}/sub-roles`, { role: $("include-role").value.trim(),
                                                                            allow_superuser: $("allow-superuser").checked });
  if (ok) { $("include-role").value = ""; $("allow-superuser").checked = false; }
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

// --- the playground --------------------------------------------------------------------
// A playground file runs on the server in memory: no store is read or written. Served with
// `zarn-roles serve FILE`, the file comes in the editor and can be saved back (the token).

const pg = { name: "playground.toml", served: null, timer: null, loaded: false };

function renderResults(out, r) {
  if (!r.ok) {
    clear(out, el("div", { cls: "error", text: r.data.error || `error ${r.status}` }));
    if (r.data.lines) out.append(el("ul", { cls: "bad-lines" }, ...r.data.lines.map((l) => el("li", { text: l }))));
    return;
  }
  const failed = r.data.failed, n = r.data.results.length;
  const describe = (x) => `line ${x.line}: ${x.kind} ` + (x.user ? `--user ${x.user} ` : x.roles ? `${x.roles.join(" ")} ` : "") +
                          `${x.obj}:${x.act}` + (x.users ? " --users" : "");
  clear(out, el("div", { cls: failed ? "error" : "ok", text: failed ? `${failed} of ${n} fail` : `all ${n} hold` }),
    el("ul", { cls: "plain" }, ...r.data.results.map((x) => el("li", { cls: x.holds ? "holds" : "fails" },
      el("span", { cls: "mark", text: x.holds ? "\u2713 " : "\u2717 " }),
      el("span", { text: x.holds ? describe(x) : x.message }),
      el("div", { cls: "muted small", text: x.detail })))));
  if (r.data.saved) out.prepend(el("div", { cls: "muted small", text: `saved ${r.data.saved}` }));
}

async function runPlayground() {
  const text = $("pg-text").value;
  const out = $("pg-result");
  if (!text.trim()) { clear(out); return; }
  renderResults(out, await api("POST", `/api/v1/playground?${new URLSearchParams({ name: pg.name })}`, text));
}

async function loadPlayground() {
  if (pg.loaded) return;
  pg.loaded = true;
  const r = await api("GET", "/api/v1/playground/file");
  if (!r.ok) return;
  pg.served = r.data.name;
  pg.name = r.data.name;
  $("pg-text").value = r.data.text;
  $("pg-save").hidden = false;
  $("pg-save").textContent = `save ${r.data.name}`;
  runPlayground();
}

function openPlaygroundFile(file) {
  if (!file) return;
  file.text().then((text) => {
    pg.name = file.name;
    $("pg-text").value = text;
    runPlayground();
  });
}

$("pg-text").addEventListener("input", () => {
  clearTimeout(pg.timer);
  pg.timer = setTimeout(runPlayground, 300);
});
$("pg-file").addEventListener("change", () => openPlaygroundFile($("pg-file").files[0]));
$("pg-text").addEventListener("dragover", (ev) => { ev.preventDefault(); $("pg-text").classList.add("dropping"); });
$("pg-text").addEventListener("dragleave", () => $("pg-text").classList.remove("dropping"));
$("pg-text").addEventListener("drop", (ev) => {
  ev.preventDefault();
  $("pg-text").classList.remove("dropping");
  openPlaygroundFile(ev.dataTransfer.files[0]);
});
$("pg-download").addEventListener("click", () => {
  const link = el("a", { href: URL.createObjectURL(new Blob([$("pg-text").value], { type: "text/plain" })),
                         download: pg.name });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
});
$("pg-save").addEventListener("click", async () => {
  renderResults($("pg-result"), await api("PUT", "/api/v1/playground/file", $("pg-text").value));
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
  // The changes could not be told (the log no longer reaches back): read everything anew.
  source.addEventListener("reload", (ev) => {
    const data = JSON.parse(ev.data);
    $("live").textContent = "live";
    if (data.etag !== state.version) refresh();
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
if (location.hash.startsWith("#token=")) { // the address zarn-roles serve FILE prints
  state.token = decodeURIComponent(location.hash.slice(7));
  sessionStorage.setItem("zarn-token", state.token);
  history.replaceState(null, "", location.pathname + location.search);
}
loadMode();
route();
