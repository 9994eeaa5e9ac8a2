// The views of a run: its settings and counts, the convergence, the
// importances, the learning curves, parallel coordinates, slices, and a
// table of trials that sorts and filters. The data is either embedded in the
// page (a report) or fetched from the dashboard's server, which this page
// then polls for new trials.
//
// Every text that comes from a journal reaches the page as text
// (textContent) or, in plots, escaped: nothing from a journal is markup.
"use strict";

(function () {
  const ROW_HEIGHT = 24;          // px, as in app.css
  const MOST_POINTS = 5000;       // per slice plot: the best and an even spread of the rest
  const MOST_LINES = 1000;        // in parallel coordinates: the best trials
  const MOST_CURVES = 300;        // learning curves drawn: the best and the latest
  const POLL_MS = 1000;
  const WEBGL_FROM = 5000;        // points: below, SVG (drawn everywhere); above, WebGL (fast)

  const state = {
    header: null, names: [], trials: [], importance: {}, runs: [], run: null,
    sortKey: "number", sortDir: 1, filter: "", rows: [], cursor: 0,
  };

  function el(tag, attributes, children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attributes || {})) node.setAttribute(k, v);
    for (const child of children || []) {
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  // Plotly reads its labels as a small HTML subset: journal texts are escaped first.
  function esc(text) {
    return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
  }

  function direction() { return (state.header && state.header.direction) || "minimize"; }
  function better(a, b) { return direction() === "minimize" ? a < b : a > b; }
  function complete() { return state.trials.filter((t) => t.state === "complete" && t.value !== null); }

  function best() {
    let found = null;
    for (const t of complete()) if (found === null || better(t.value, found.value)) found = t;
    return found;
  }

  function valueText(v) {
    if (v === null || v === undefined) return "";
    if (typeof v === "number") return Number.isInteger(v) ? String(v) : v.toPrecision(6);
    if (typeof v === "string") return v;
    return JSON.stringify(v);
  }

  function isLog(name) {
    const kind = state.header && state.header.space && state.header.space[name];
    return Boolean(kind && kind.log);
  }

  // --- summary ---------------------------------------------------------------------------

  function drawSummary() {
    const box = document.getElementById("summary");
    const counts = {};
    for (const t of state.trials) counts[t.state] = (counts[t.state] || 0) + 1;
    const h = state.header || {};
    const b = best();
    const items = [
      ["journal", state.run ? state.run.path : ""],
      ["method", h.mode], ["direction", h.direction], ["budget", h.budget], ["seed", h.seed],
      ["trials", `${state.trials.length} (` + Object.entries(counts).map(([k, v]) => `${v} ${k}`).join(", ") + ")"],
      ["best", b === null ? "no complete trial yet" : `trial ${b.number}: ${valueText(b.value)}`],
    ];
    if (h.pruner) items.push(["pruner", JSON.stringify(h.pruner)]);
    if (h.command) items.push(["command", h.command.join(" ")]);
    const list = el("dl", {}, []);
    for (const [k, v] of items) {
      if (v === undefined) continue;
      list.append(el("dt", {}, [k]), el("dd", { "data-field": k }, [String(v)]));
    }
    box.replaceChildren(list);
  }

  // --- plots -----------------------------------------------------------------------------

  const layoutBase = { margin: { l: 50, r: 10, t: 30, b: 40 }, height: 320 };
  const config = { displaylogo: false, responsive: true };

  function drawConvergence() {
    const done = complete();
    const x = done.map((t) => t.number), y = done.map((t) => t.value);
    const bx = [], by = [];
    let current = null;
    for (const t of done) {
      if (current === null || better(t.value, current)) current = t.value;
      bx.push(t.number); by.push(current);
    }
    const type = x.length > WEBGL_FROM ? "scattergl" : "scatter";
    Plotly.react("convergence", [
      { x, y, mode: "markers", type, name: "trial", marker: { size: 4, opacity: 0.6 } },
      { x: bx, y: by, mode: "lines", type, name: "best so far", line: { shape: "hv" } },
    ], { ...layoutBase, title: { text: "convergence" }, xaxis: { title: { text: "trial" } } }, config);
  }

  function drawImportance() {
    const entries = Object.entries(state.importance);
    Plotly.react("importance", [{
      type: "bar", orientation: "h", x: entries.map((e) => e[1]).reverse(),
      y: entries.map((e) => esc(e[0])).reverse(),
    }], { ...layoutBase, title: { text: "parameter importance" }, margin: { l: 120, r: 10, t: 30, b: 40 } },
    config);
  }

  function chosenForPlots(limit) {
    // The best trials first, then an even spread of the others, `limit` in all.
    const done = complete().slice().sort((a, b) => (better(a.value, b.value) ? -1 : 1));
    if (done.length <= limit) return done;
    const head = done.slice(0, limit / 2), rest = done.slice(limit / 2);
    const step = rest.length / (limit / 2);
    for (let i = 0; i < limit / 2; i++) head.push(rest[Math.floor(i * step)]);
    return head;
  }

  function axisValues(name, trials) {
    const values = trials.map((t) => t.params[name]);
    if (values.every((v) => typeof v === "number")) return { values, ticks: null };
    const keys = [...new Set(values.map((v) => JSON.stringify(v)))].sort();
    return { values: values.map((v) => keys.indexOf(JSON.stringify(v))),
      ticks: keys.map((k) => valueText(JSON.parse(k))) };
  }

  function drawSlices() {
    const shown = chosenForPlots(MOST_POINTS);
    const box = document.getElementById("slices");
    box.replaceChildren();
    for (const name of state.names) {
      const div = el("div", { class: "plot slice", "data-name": name }, []);
      box.append(div);
      const { values, ticks } = axisValues(name, shown);
      const xaxis = { title: { text: esc(name) }, type: isLog(name) ? "log" : "-" };
      if (ticks) Object.assign(xaxis, { tickvals: ticks.map((_, i) => i), ticktext: ticks.map(esc) });
      Plotly.react(div, [{ x: values, y: shown.map((t) => t.value), mode: "markers",
        type: shown.length > WEBGL_FROM ? "scattergl" : "scatter",
        marker: { size: 4, opacity: 0.6 } }], { ...layoutBase, xaxis, height: 260 }, config);
    }
  }

  function drawParallel() {
    const shown = chosenForPlots(MOST_LINES);
    if (!shown.length || !state.names.length) { Plotly.purge("parallel"); return; }
    const dimensions = state.names.map((name) => {
      const { values, ticks } = axisValues(name, shown);
      // Parallel coordinates write their labels as plain text: no escaping here.
      const d = { label: name, values };
      if (ticks) Object.assign(d, { tickvals: ticks.map((_, i) => i), ticktext: ticks });
      return d;
    });
    dimensions.push({ label: "value", values: shown.map((t) => t.value) });
    Plotly.react("parallel", [{ type: "parcoords", dimensions,
      line: { color: shown.map((t) => t.value), colorscale: "Viridis",
        reversescale: direction() === "maximize" } }],
    { ...layoutBase, title: { text: `the ${shown.length} best and a spread of the others` } }, config);
  }

  function drawIntermediate() {
    const withReports = state.trials.filter((t) => t.reports && t.reports.length);
    const box = document.getElementById("intermediate");
    box.hidden = withReports.length === 0;
    if (box.hidden) return;
    const b = best();
    const latest = withReports.slice(-MOST_CURVES);
    const traces = latest.map((t) => ({
      x: t.reports.map((r) => r[0]), y: t.reports.map((r) => r[1]), mode: "lines", type: "scatter",
      name: `trial ${t.number}`, showlegend: false,
      line: { width: 1, color: t.state === "pruned" ? "#999" : t.state === "failed" ? "#c33" : "#4a7bd0" },
    }));
    if (b && b.reports && b.reports.length) {
      traces.push({ x: b.reports.map((r) => r[0]), y: b.reports.map((r) => r[1]), mode: "lines",
        type: "scatter", name: `best (trial ${b.number})`, line: { width: 3, color: "#f08a00" } });
    }
    Plotly.react(box, traces, { ...layoutBase, title: { text: "learning curves" },
      xaxis: { title: { text: "step" } } }, config);
  }

  // --- the table: only the rows in view are in the page ---------------------------------------

  function columns() {
    return ["number", "state", "value", ...state.names.map((n) => "param:" + n), "error"];
  }

  function cell(t, key) {
    if (key.startsWith("param:")) return t.params[key.slice(6)];
    return t[key];
  }

  function compare(a, b) {
    if (a === b) return 0;
    if (a === null || a === undefined) return 1;
    if (b === null || b === undefined) return -1;
    if (typeof a === "number" && typeof b === "number") return a - b;
    return String(a) < String(b) ? -1 : 1;
  }

  function updateRows() {
    const needle = state.filter.toLowerCase();
    let rows = state.trials;
    if (needle) {
      rows = rows.filter((t) => [t.number, t.state, t.value, t.error, ...state.names.map((n) => t.params[n])]
        .some((v) => v !== null && v !== undefined && valueText(v).toLowerCase().includes(needle)));
    }
    const key = state.sortKey, dir = state.sortDir;
    // Empty cells (a failed trial's value, say) last in both directions.
    state.rows = rows.slice().sort((a, b) => {
      const x = cell(a, key), y = cell(b, key);
      const xEmpty = x === null || x === undefined, yEmpty = y === null || y === undefined;
      if (xEmpty || yEmpty) return xEmpty === yEmpty ? a.number - b.number : (xEmpty ? 1 : -1);
      return dir * compare(x, y) || a.number - b.number;
    });
    document.getElementById("table").setAttribute("data-rows", String(state.rows.length));
    drawRows();
  }

  function gridStyle() {
    return `grid-template-columns: 70px 80px 110px ${state.names.map(() => "minmax(80px, 1fr)").join(" ")} 2fr`;
  }

  function drawHead() {
    const head = el("div", { class: "row head", style: gridStyle() }, []);
    for (const key of columns()) {
      const label = key.startsWith("param:") ? key.slice(6) : key;
      const mark = state.sortKey === key ? (state.sortDir > 0 ? " ▲" : " ▼") : "";
      const span = el("span", { "data-key": key }, [label + mark]);
      span.addEventListener("click", () => {
        state.sortDir = state.sortKey === key ? -state.sortDir : 1;
        state.sortKey = key;
        drawHead();
        updateRows();
      });
      head.append(span);
    }
    document.getElementById("table-head").replaceChildren(head);
  }

  function drawRows() {
    const body = document.getElementById("table-body");
    const spacer = document.getElementById("table-spacer");
    spacer.style.height = `${state.rows.length * ROW_HEIGHT}px`;
    const first = Math.floor(body.scrollTop / ROW_HEIGHT);
    const count = Math.ceil(body.clientHeight / ROW_HEIGHT) + 2;
    const rows = [];
    for (let i = first; i < Math.min(first + count, state.rows.length); i++) {
      const t = state.rows[i];
      const row = el("div", { class: `row ${t.state}`, style: `${gridStyle()}; position: absolute; top: ${i * ROW_HEIGHT}px; left: 0; right: 0`,
        "data-number": String(t.number) }, []);
      for (const key of columns()) row.append(el("span", { title: valueText(cell(t, key)) }, [valueText(cell(t, key))]));
      rows.push(row);
    }
    document.getElementById("table-rows").replaceChildren(...rows);
  }

  // --- data ------------------------------------------------------------------------------

  function take(data) {
    if (data.reset || data.header) {
      state.header = data.header || state.header;
      // The server's order of each trial's values (JavaScript's sort order of
      // strings is not Python's for every name).
      state.names = data.names || [];
      if (data.reset) state.trials = [];
    }
    for (const r of data.trials || []) {
      state.trials.push({ number: r[0], state: r[1], value: r[2],
        params: Object.fromEntries(state.names.map((n, i) => [n, r[3][i]])), error: r[4], reports: r[5] });
    }
    if (data.importance) state.importance = data.importance;
    if (data.budget !== undefined && state.header) state.header.budget = data.budget;
    state.trials.sort((a, b) => a.number - b.number);
    drawHead();
    drawAll();
  }

  function drawAll() {
    drawSummary();
    drawConvergence();
    drawImportance();
    drawIntermediate();
    drawParallel();
    drawSlices();
    updateRows();
    document.body.setAttribute("data-trials", String(state.trials.length));
  }

  async function poll() {
    try {
      const response = await fetch(`api/run/${state.run.id}?since=${state.cursor}`);
      const data = await response.json();
      state.cursor = data.cursor;
      const moved = JSON.stringify(data.importance || {}) !== JSON.stringify(state.importance)
        || (state.header && data.budget !== state.header.budget);
      if (data.reset || data.header || (data.trials && data.trials.length) || moved) take(data);
    } catch (error) {
      document.body.setAttribute("data-poll-error", String(error));
    }
    setTimeout(poll, POLL_MS);
  }

  async function startLive() {
    state.runs = await (await fetch("api/runs")).json();
    const wanted = new URLSearchParams(location.search).get("run");
    state.run = state.runs.find((r) => r.id === wanted) || state.runs[0] || null;
    const nav = document.getElementById("runs");
    nav.replaceChildren(...state.runs.map((r) => el("a", { href: `?run=${encodeURIComponent(r.id)}`,
      class: r === state.run ? "current" : "" }, [r.name])));
    if (state.run) poll();
  }

  function start() {
    document.getElementById("filter").addEventListener("input", (e) => {
      state.filter = e.target.value;
      updateRows();
    });
    document.getElementById("table-body").addEventListener("scroll", drawRows);
    const embedded = document.getElementById("vordaopt-data");
    if (embedded) {
      const data = JSON.parse(embedded.textContent);
      state.run = data.run;
      take(data);
    } else {
      startLive();
    }
  }

  document.addEventListener("DOMContentLoaded", start);
})();
