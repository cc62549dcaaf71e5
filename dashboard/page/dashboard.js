// The line's page: asks the JSON API every 2 s and redraws the tiles and tables in place.
"use strict";

const POLL_MS = 2000;

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

function age(seconds) {
  if (seconds === undefined || seconds < 0) return "";
  if (seconds < 90) return Math.round(seconds) + " s ago";
  if (seconds < 5400) return Math.round(seconds / 60) + " min ago";
  if (seconds < 129600) return Math.round(seconds / 3600) + " h ago";
  return Math.round(seconds / 86400) + " days ago";
}

function percent(x) { return (x * 100).toFixed(1) + " %"; }

function tile(port) {
  const classes = ["tile", port.state || "idle"];
  if (port.last_outcome) classes.push("last-" + port.last_outcome);
  const t = el("div", { class: classes.join(" "), "data-port": port.port },
    el("div", { class: "port" }, port.port),
    el("div", { class: "state" }, port.state || "idle"));
  if (port.state === "flashing" && port.percent >= 0) t.append(el("progress", { max: 100, value: port.percent }));
  if (port.detail) t.append(el("div", { class: "verdict" }, port.detail));
  if (port.last_outcome) t.append(el("div", { class: "verdict" }, "last: " + port.last_outcome + " " + age(port.age_seconds)));
  return t;
}

function drawStations(data) {
  const box = document.getElementById("stations");
  box.replaceChildren();
  if (data.stations.length === 0) box.append(el("p", { class: "empty" }, "No station has recorded a run yet."));
  for (const s of data.stations) {
    const heading = el("h2", {}, s.station);
    if (s.heartbeat) heading.append(el("small", {}, "heartbeat " + age(s.heartbeat_age_seconds) +
      (s.passed !== undefined ? " \u00b7 passed " + s.passed + ", failed " + s.failed : "")));
    box.append(el("div", { class: "station", "data-station": s.station }, heading,
      el("div", { class: "tiles" }, ...s.ports.map(tile))));
  }
}

function table(id, head, rows) {
  const t = document.getElementById(id);
  t.replaceChildren(el("tr", {}, ...head.map((h) => el("th", {}, h))));
  if (rows.length === 0) t.append(el("tr", {}, el("td", { class: "empty", colspan: head.length }, "none today")));
  for (const r of rows) t.append(el("tr", {}, ...r.map((c) => el("td", typeof c === "number" ? { class: "num" } : {}, c))));
}

function drawSummary(data) {
  const yieldRow = (name) => (g) => [g[name], g.runs, g.passed, g.failed, percent(g.yield), g.median_seconds.toFixed(1) + " s"];
  const head = ["runs", "passed", "failed", "yield", "median"];
  table("yield-stations", ["station", ...head], data.stations.map(yieldRow("station")));
  table("yield-scripts", ["script", ...head], data.scripts.map(yieldRow("script")));
  table("failures", ["ended", "station", "port", "outcome", "failure"],
    data.failures.map((f) => [new Date(f.ended).toLocaleTimeString(), f.station, f.port, f.outcome, f.failure || ""]));
}

async function fetchJson(path) {
  const r = await fetch(path, { credentials: "same-origin", cache: "no-store" });
  if (r.status === 401) { window.location.assign("/login"); throw new Error("log in first"); }
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

let updates = 0;
async function update() {
  const status = document.getElementById("status");
  try {
    const [stations, summary] = await Promise.all([fetchJson("/api/stations"), fetchJson("/api/summary")]);
    drawStations(stations);
    drawSummary(summary);
    updates += 1;
    status.textContent = "updated " + new Date().toLocaleTimeString();
    status.className = "";
    document.body.dataset.updates = String(updates);
  } catch (e) {
    status.textContent = "not updated: " + e.message;
    status.className = "stale";
  }
}

update();
setInterval(update, POLL_MS);
