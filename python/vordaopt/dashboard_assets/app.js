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
  const MOST_LINES = 1000;        // in parallel coordinates: the best and an even spread of the rest
  const MOST_MARKERS = 1000;      // in the convergence: an even spread and every improvement
  const MOST_CURVES = 300;        // learning curves drawn: the best and the latest
  const POLL_MS = 1000;
  const ROUGH_BELOW = 30;  // as importances.ROUGH_BELOW
  const IMPORTANCE_WAIT_MS = 1000;  // the longest Plotly waits for the first importances
  const WEBGL_FROM = 5000;        // points: below, SVG (drawn everywhere); above, WebGL (fast)

  const state = {
    header: null, names: [], trials: [], skipped: 0, importance: {}, runs: [],
    run: null, sortKey: "number", sortDir: 1, filter: "", rows: [], cursor: "",
    done: [], ranked: null, shown: 0, drawn: -Infinity, drawTook: 0, stale: false,
    stalePlots: new Set(),
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

  // A label that fits above a parallel-coordinates axis (the table shows the whole name).
  function shortened(text) {
    const chars = [...String(text)];
    return chars.length <= 24 ? String(text) : chars.slice(0, 23).join("") + "…";
  }

  function direction() { return (state.header && state.header.direction) || "minimize"; }
  function better(a, b) { return direction() === "minimize" ? a < b : a > b; }
  function best() {
    let found = null;
    for (const t of state.done) if (found === null || better(t.value, found.value)) found = t;
    return found;
  }

  function valueText(v) {
    if (v === null || v === undefined) return "";
    if (typeof v === "number") return Number.isInteger(v) ? String(v) : v.toPrecision(6);
    if (typeof v === "string") return v;
    return JSON.stringify(v);
  }

  function isLog(name) {
    const kind = state.header && flatSpace(state.header.space)[name];
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
      // Journals before "method" called it "mode".
      ["method", h.method !== undefined ? h.method : h.mode], ["direction", h.direction], ["budget", h.budget], ["seed", h.seed],
      ["trials", `${state.trials.length} (` + Object.entries(counts).map(([k, v]) => `${v} ${k}`).join(", ") + ")"],
      ["best", b === null ? "no complete trial yet" : `trial ${b.number}: ${valueText(b.value)}`],
    ];
    if (objectives().length) {
      // Several objectives have no single best: the summary names them instead.
      items[items.length - 1] = ["objectives", objectives().map(([k, sign]) => `${k} (${sign > 0 ? "minimize" : "maximize"})`).join(", ")];
    }
    if (h.pruner !== null && typeof h.pruner === "object" && !Array.isArray(h.pruner)) {
      const { name, ...settings } = h.pruner;
      items.push(["pruner", `${name} (` + Object.entries(settings).map(([k, v]) => `${k} ${valueText(v)}`).join(", ") + ")"]);
    }
    if (Array.isArray(h.command)) items.push(["command", h.command.join(" ")]);
    if (state.skipped) items.push(["skipped lines", `${state.skipped} (damaged, out of place or repeated)`]);
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

  // Plotly draws beside what is in its box: a sketch drawn before it came goes first.
  function dropSketch(box) {
    const sketch = box.querySelector(":scope > svg.sketch");
    if (sketch) sketch.remove();
  }

  function drawConvergence() {
    const done = state.done;
    // The best so far as a step line: its steps and its last trial are enough.
    const bx = [], by = [];
    let current = null;
    for (const t of done) {
      if (current === null || better(t.value, current)) {
        current = t.value;
        bx.push(t.number); by.push(current);
      }
    }
    if (done.length) { bx.push(done[done.length - 1].number); by.push(current); }
    // The trials: every one up to MOST_MARKERS; beyond, an even spread and every improvement.
    let shown = done;
    if (done.length > MOST_MARKERS) {
      const improved = new Set(bx);
      const stride = done.length / MOST_MARKERS;
      shown = done.filter((t, i) => Math.floor(i / stride) !== Math.floor((i - 1) / stride)
        || improved.has(t.number));
    }
    const x = shown.map((t) => t.number), y = shown.map((t) => t.value);
    const title = shown === done ? "convergence"
      : `convergence (${shown.length} of ${done.length} trials drawn)`;
    const box = document.getElementById("convergence");
    if (!window.Plotly) {
      Sketch.points(box, { title, xTitle: "trial", series: [
        { x, y, name: "trial" }, { x: bx, y: by, name: "best so far", steps: true }] });
      return;
    }
    const type = x.length + bx.length > WEBGL_FROM ? "scattergl" : "scatter";
    dropSketch(box);
    Plotly.react(box, [
      { x, y, mode: "markers", type, name: "trial", marker: { size: 4, opacity: 0.6 } },
      { x: bx, y: by, mode: "lines", type, name: "best so far", line: { shape: "hv" } },
    ], { ...layoutBase, title: { text: title }, xaxis: { title: { text: "trial" } } }, config);
  }

  // --- several objectives ---------------------------------------------------------------

  // The run's objectives ([name, sign] with sign 1 to minimise) when it has several.
  function objectives() {
    const named = state.header && state.header.objectives;
    if (named === null || typeof named !== "object" || Array.isArray(named)) return [];
    const list = Object.entries(named).map(([k, d]) => [k, d === "maximize" ? -1 : 1]);
    return list.length >= 2 ? list : [];
  }

  // How far a trial's metrics lie outside the run's constraints (0: feasible).
  function violation(metrics) {
    const limits = (state.header && state.header.constraints) || {};
    let total = 0;
    for (const [name, pair] of Object.entries(limits)) {
      const v = metrics[name];
      if (!Array.isArray(pair) || typeof v !== "number") continue;
      if (typeof pair[0] === "number" && v < pair[0]) total += pair[0] - v;
      if (typeof pair[1] === "number" && v > pair[1]) total += v - pair[1];
    }
    return total;
  }

  // The complete trials with every objective, each with its values to minimise.
  function measured(named) {
    const out = [];
    for (const t of state.done) {
      if (!t.metrics) continue;
      const v = named.map(([k, sign]) => (typeof t.metrics[k] === "number" ? sign * t.metrics[k] : NaN));
      if (v.every(Number.isFinite)) out.push({ t, v, feasible: violation(t.metrics) === 0 });
    }
    return out;
  }

  function dominates(a, b) {
    let strictly = false;
    for (let k = 0; k < a.length; k++) {
      if (a[k] > b[k]) return false;
      if (a[k] < b[k]) strictly = true;
    }
    return strictly;
  }

  // The area the first two objectives of `points` dominate up to `ref`.
  function area(points, ref) {
    const inside = points.filter((p) => p[0] < ref[0] && p[1] < ref[1])
      .sort((a, b) => a[0] - b[0] || a[1] - b[1]);
    let total = 0, lowest = ref[1];
    for (const p of inside) {
      if (p[1] < lowest) { total += (ref[0] - p[0]) * (lowest - p[1]); lowest = p[1]; }
    }
    return total;
  }

  function drawFront() {
    const named = objectives(), box = document.getElementById("front");
    if (!named.length) return;
    const all = measured(named), feasible = all.filter((m) => m.feasible);
    const front = feasible.filter((m) => !feasible.some((o) => dominates(o.v, m.v)));
    const onFront = new Set(front.map((m) => m.t.number));
    const [xName, xSign] = named[0], [yName, ySign] = named[1];
    const trace = (list, name, marker) => ({
      x: list.map((m) => xSign * m.v[0]), y: list.map((m) => ySign * m.v[1]),
      text: list.map((m) => `trial ${m.t.number}`), mode: "markers", type: "scatter", name, marker });
    dropSketch(box);
    Plotly.react(box, [
      trace(feasible.filter((m) => !onFront.has(m.t.number)), "feasible", { size: 5, color: "gray", opacity: 0.6 }),
      trace(all.filter((m) => !m.feasible), "infeasible", { size: 6, color: "crimson", symbol: "x", opacity: 0.6 }),
      trace(front, "Pareto front", { size: 7, color: "darkorange" }),
    ], { ...layoutBase, title: { text: `Pareto front: ${front.length} trials` + (named.length > 2 ? ` (${esc(xName)}, ${esc(yName)})` : "") },
      xaxis: { title: { text: esc(xName) } }, yaxis: { title: { text: esc(yName) } } }, config);
  }

  // The hypervolume of the feasible trials so far, trial by trial, in the first
  // two objectives, each scaled to [0, 1] over the run's feasible trials; the
  // reference point is 1.1 in each.
  function drawHypervolume() {
    const named = objectives(), box = document.getElementById("hypervolume");
    if (!named.length) return;
    const feasible = measured(named).filter((m) => m.feasible);
    const low = [0, 1].map((k) => Math.min(...feasible.map((m) => m.v[k])));
    const high = [0, 1].map((k) => Math.max(...feasible.map((m) => m.v[k])));
    const scale = (m) => [0, 1].map((k) => (high[k] > low[k] ? (m.v[k] - low[k]) / (high[k] - low[k]) : 0));
    const x = [], y = [], seen = [];
    for (const m of feasible) {
      seen.push(scale(m));
      x.push(m.t.number); y.push(area(seen, [1.1, 1.1]));
    }
    dropSketch(box);
    Plotly.react(box, [{ x, y, mode: "lines", type: "scatter", name: "hypervolume", line: { shape: "hv" } }],
      { ...layoutBase, title: { text: "hypervolume of the feasible trials so far" + (named.length > 2 ? " (first two objectives)" : "") },
        xaxis: { title: { text: "trial" } } }, config);
  }

  function drawImportance() {
    const entries = Object.entries(state.importance || {});
    const counted = state.trials.filter((t) => t.state === "complete" || (t.state === "pruned" && t.reports)).length;
    const title = !entries.length && state.done.length ? "parameter importance (being computed)"
      : entries.length && counted < ROUGH_BELOW ? `parameter importance (rough: ${counted} trials)`
        : "parameter importance";
    const box = document.getElementById("importance");
    box.setAttribute("data-bars", String(entries.length));
    if (!window.Plotly) {
      Sketch.bars(box, { title, labels: entries.map((e) => e[0]), values: entries.map((e) => e[1]) });
      return;
    }
    dropSketch(box);
    Plotly.react(box, [{
      type: "bar", orientation: "h", x: entries.map((e) => e[1]).reverse(),
      y: entries.map((e) => esc(e[0])).reverse(),
    }], { ...layoutBase, title: { text: title }, margin: { l: 20, r: 10, t: 30, b: 40 },
      yaxis: { automargin: true } },
    config);
  }

  function chooseForPlots(limit) {
    // The best trials first, then an even spread of the others, `limit` in all.
    if (state.ranked === null) {
      state.ranked = state.done.slice().sort((a, b) => (better(a.value, b.value) ? -1 : 1));
    }
    const done = state.ranked;
    if (done.length <= limit) return done;
    const head = done.slice(0, limit / 2), rest = done.slice(limit / 2);
    const step = rest.length / (limit / 2);
    for (let i = 0; i < limit / 2; i++) head.push(rest[Math.floor(i * step)]);
    return head;
  }

  // A trial where a conditional parameter was inactive has no value: null
  // for numbers (no point in a slice), a category of its own for choices.
  function axisValues(name, trials) {
    const values = trials.map((t) => (name in t.params ? t.params[name] : null));
    if (values.every((v) => v === null || typeof v === "number")) return { values, ticks: null };
    const key = (v) => (v === null ? ABSENT : JSON.stringify(v));
    const keys = [...new Set(values.map(key))].sort();
    return { values: values.map((v) => keys.indexOf(key(v))),
      ticks: keys.map((k) => (k === ABSENT ? "absent" : valueText(JSON.parse(k)))) };
  }
  const ABSENT = "\u0000absent";

  // One figure with a panel per parameter: one drawing surface, however many parameters.
  function drawSlices() {
    const shown = chooseForPlots(MOST_POINTS);
    const n = state.names.length;  // drawAll hides the slices when there are none
    const columns = Math.min(n, 3), rows = Math.ceil(n / columns);
    const layout = { ...layoutBase, height: 240 * rows, showlegend: false,
      title: { text: "slices" }, grid: { rows, columns, pattern: "independent" } };
    const type = shown.length > WEBGL_FROM ? "scattergl" : "scatter";
    const y = shown.map((t) => t.value);
    const traces = state.names.map((name, i) => {
      const { values, ticks } = axisValues(name, shown);
      const suffix = i ? String(i + 1) : "";
      const xaxis = { title: { text: esc(name) }, type: isLog(name) ? "log" : "-" };
      if (ticks) Object.assign(xaxis, { tickvals: ticks.map((_, k) => k), ticktext: ticks.map(esc) });
      layout["xaxis" + suffix] = xaxis;
      return { x: values, y, mode: "markers", type, xaxis: "x" + suffix, yaxis: "y" + suffix,
        name: esc(name), marker: { size: 4, opacity: 0.6 } };
    });
    Plotly.react("slices", traces, layout, config);
  }

  function drawParallel() {
    const shown = chooseForPlots(MOST_LINES);
    if (!shown.length || !state.names.length) { Plotly.purge("parallel"); return; }
    const dimensions = state.names.map((name) => {
      let { values, ticks } = axisValues(name, shown);
      if (!ticks && values.some((v) => v === null)) {
        // Lines cannot skip an axis: an absent value sits below the range, marked.
        const present = values.filter((v) => v !== null);
        const lo = Math.min(...present), hi = Math.max(...present);
        const below = present.length ? lo - 0.1 * (hi - lo || 1) : 0;
        values = values.map((v) => (v === null ? below : v));
        return { label: esc(shortened(name)), values, tickvals: [below, ...(present.length ? [lo, hi] : [])],
          ticktext: ["absent", ...(present.length ? [valueText(lo), valueText(hi)] : [])] };
      }
      // The axis labels are read as Plotly's HTML subset, the tick texts as plain text.
      const d = { label: esc(shortened(name)), values };
      if (ticks) Object.assign(d, { tickvals: ticks.map((_, i) => i), ticktext: ticks });
      return d;
    });
    dimensions.push({ label: "value", values: shown.map((t) => t.value) });
    Plotly.react("parallel", [{ type: "parcoords", dimensions,
      line: { color: shown.map((t) => t.value), colorscale: "Viridis",
        reversescale: direction() === "maximize" } }],
    // Room above the axes for their labels, and beside the outer ones for their ticks.
    { ...layoutBase, margin: { l: 70, r: 70, t: 110, b: 30 },
      title: { text: `the ${shown.length} best and a spread of the others` } }, config);
  }

  function drawIntermediate() {
    const withReports = state.trials.filter((t) => t.reports && t.reports.length);
    const box = document.getElementById("intermediate");
    if (withReports.length === 0) return;
    const b = best();
    const latest = withReports.slice(-MOST_CURVES);
    const traces = latest.map((t) => ({
      x: t.reports.map((r) => r[0]), y: t.reports.map((r) => r[1]), mode: "lines", type: "scatter",
      name: `trial ${t.number}`, showlegend: false,
      line: { width: 1.5, color: t.state === "pruned" ? "#8c8c8c" : t.state === "failed" ? "#c33" : "#4a7bd0" },
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
    // The trials are kept in the order of their numbers: that order needs no sort.
    // Empty cells (a failed trial's value, say) last in both directions.
    state.rows = key === "number" && dir === 1 ? rows : rows.slice().sort((a, b) => {
      const x = cell(a, key), y = cell(b, key);
      const xEmpty = x === null || x === undefined, yEmpty = y === null || y === undefined;
      if (xEmpty || yEmpty) return xEmpty === yEmpty ? a.number - b.number : (xEmpty ? 1 : -1);
      return dir * compare(x, y) || a.number - b.number;
    });
    document.getElementById("table").setAttribute("data-rows", String(state.rows.length));
    drawRows();
  }

  function gridStyle() {
    return `grid-template-columns: 100px 90px 110px ${state.names.map(() => "minmax(80px, 1fr)").join(" ")} 2fr`;
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

  // --- data: journal lines, read by reader.js ------------------------------------------------

  function resetData() {
    state.header = null; state.names = []; state.trials = []; state.skipped = 0;
  }

  // Adds what a JournalReader found; keeps the trials in the order of their numbers.
  function takeFound(found) {
    state.header = found.header;
    state.names = found.names;
    state.skipped = found.skipped;
    const t = state.trials, added = found.trials.length;
    for (const trial of found.trials) t.push(trial);
    for (let i = t.length - added; i > 0 && i < t.length; i++) {
      if (t[i].number < t[i - 1].number) { t.sort((a, b) => a.number - b.number); break; }
    }
    return added;
  }

  // The plots are drawn when they come into view, and again when they are
  // in view and the data has changed: a large run's first view
  // costs what fits on the screen, and a plot scrolled to is drawn then.
  const PLOTS = { convergence: drawConvergence, importance: drawImportance,
    front: drawFront, hypervolume: drawHypervolume,
    intermediate: drawIntermediate, parallel: drawParallel, slices: drawSlices };
  // Those drawn without Plotly too (sketch.js): the first screen's.
  const SKETCHED = new Set(["convergence", "importance"]);

  // The dashboard runs Plotly's bundle after the first screen is on it, with
  // its first importances (or a second at most): the bundle holds the main
  // thread for a second or more. Then every plot in view is drawn with it.
  // A report has Plotly from the start.
  let plotlyAsked = false;
  function loadPlotly() {
    if (plotlyAsked) return;
    plotlyAsked = true;
    const waited = Promise.race([firstImportance, new Promise((r) => setTimeout(r, IMPORTANCE_WAIT_MS))]);
    // After a frame: the first screen is painted before the bundle runs.
    waited.then(() => requestAnimationFrame(() => setTimeout(() => {
      const script = el("script", { src: "static/plotly.min.js" }, []);
      script.onload = () => {
        for (const id of Object.keys(PLOTS)) state.stalePlots.add(id);
        drawVisible();
        document.body.setAttribute("data-plotly", "ready");
      };
      script.onerror = () => {
        document.body.setAttribute("data-plotly", "failed");
        for (const id of ["intermediate", "parallel", "slices"]) {
          document.getElementById(id).replaceChildren(
            el("p", { class: "missing" }, ["This plot needs Plotly's code, which could not be loaded."]));
        }
      };
      document.body.append(script);
    }, 0)));
  }

  function drawAll() {
    state.done = state.trials.filter((t) => t.state === "complete" && t.value !== null);
    state.ranked = null;
    document.getElementById("intermediate").hidden = !state.trials.some((t) => t.reports);
    document.getElementById("several").hidden = !objectives().length;
    document.getElementById("slices").hidden = !state.names.length || !state.done.length;
    drawHead();
    drawSummary();
    updateRows();
    for (const id of Object.keys(PLOTS)) state.stalePlots.add(id);
    state.shown = state.trials.length;
    drawVisible();
    document.body.setAttribute("data-trials", String(state.shown));
  }

  // Measured now: what the watcher last reported may predate the data's layout.
  function inView(box) {
    if (box.hidden) return false;
    const r = box.getBoundingClientRect();
    return r.bottom > 0 && r.top < window.innerHeight && r.right > 0 && r.left < window.innerWidth;
  }

  function drawVisible() {
    const began = performance.now();
    for (const id of Object.keys(PLOTS)) {
      const box = document.getElementById(id);
      if (!state.stalePlots.has(id) || !inView(box)) continue;
      if (!window.Plotly && !SKETCHED.has(id)) continue;  // drawn once Plotly is there
      PLOTS[id]();
      state.stalePlots.delete(id);
      box.setAttribute("data-drawn", String(state.shown));
    }
    state.drawn = performance.now();
    state.drawTook = state.drawn - began;
  }

  // Scrolling or resizing brings plots into view: draw those left stale.
  function watchPlots() {
    const watcher = new IntersectionObserver((entries) => {
      if (entries.some((e) => e.isIntersecting)) drawVisible();
    });
    for (const id of Object.keys(PLOTS)) watcher.observe(document.getElementById(id));
  }

  // The dashboard's worker fetches and reads the journal's lines, one
  // request at a time, and computes the importances after them.
  let worker = null, answer = null;
  function readLines() {
    return new Promise((resolve, reject) => {
      answer = (data) => (data.error ? reject(new Error(data.error)) : resolve(data));
      worker.postMessage({ url: new URL(`api/run/${state.run.id}?since=${encodeURIComponent(state.cursor)}`,
        location.href).href });
    });
  }

  // The worker's first importances: Plotly's bundle waits for them.
  let importanceCame = null;
  const firstImportance = new Promise((resolve) => { importanceCame = resolve; });

  function takeImportance(found) {
    importanceCame();
    if (JSON.stringify(found) === JSON.stringify(state.importance)) return;
    state.importance = found;
    state.stalePlots.add("importance");
    drawVisible();
  }

  async function findRun() {
    state.runs = await (await fetch("api/runs")).json();
    const wanted = new URLSearchParams(location.search).get("run");
    state.run = state.runs.find((r) => r.id === wanted) || state.runs[0] || null;
    return state.run ? readLines() : null;
  }

  // The dashboard asks for its data at once; a report has its data.
  if (!document.getElementById("vordaopt-data")) {
    worker = new Worker("static/reader.js");
    worker.onmessage = (event) => ("importance" in event.data ? takeImportance(event.data.importance)
      : answer(event.data));
  }
  const firstRead = worker ? findRun() : null;

  async function poll(pending) {
    let wait = POLL_MS;
    try {
      const got = await (pending || readLines());
      state.cursor = got.cursor;
      if (got.reset) resetData();
      const budget = state.header && state.header.budget;
      const changed = takeFound(got) > 0 || got.reset || (state.header && state.header.budget !== budget);
      if (got.more) {
        wait = 0;  // the rest of a large journal first
        state.stale = state.stale || changed;
      } else if (changed || state.stale) {
        // A large run redraws at most every few times its drawing takes, so
        // the page stays responsive while it grows.
        if (performance.now() - state.drawn >= 4 * state.drawTook) {
          drawAll();
          state.stale = false;
        } else {
          state.stale = true;
        }
      }
      if (!got.more) loadPlotly();
    } catch (error) {
      document.body.setAttribute("data-poll-error", String(error));
    }
    setTimeout(poll, wait);
  }

  async function startLive() {
    const first = await firstRead;
    const nav = document.getElementById("runs");
    nav.replaceChildren(...state.runs.map((r) => el("a", { href: `?run=${encodeURIComponent(r.id)}`,
      class: r === state.run ? "current" : "" }, [r.name])));
    if (state.run) poll(Promise.resolve(first));
    else loadPlotly();
  }

  function start() {
    watchPlots();
    document.getElementById("filter").addEventListener("input", (e) => {
      state.filter = e.target.value;
      updateRows();
    });
    document.getElementById("table-body").addEventListener("scroll", drawRows);
    const embedded = document.getElementById("vordaopt-data");
    if (embedded) {
      document.body.setAttribute("data-plotly", window.Plotly ? "ready" : "failed");
      const data = JSON.parse(embedded.textContent);
      state.run = data.run;
      document.getElementById("runs").replaceChildren(data.run.name);
      resetData();
      const reader = new JournalReader();
      const trials = reader.take(data.journal);
      takeFound({ trials, header: reader.header, names: reader.names, skipped: reader.skipped });
      state.importance = data.importance;
      drawAll();
    } else {
      startLive();
    }
  }

  document.addEventListener("DOMContentLoaded", start);
})();
