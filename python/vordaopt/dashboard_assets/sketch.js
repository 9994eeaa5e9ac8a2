// Plain SVG drawings of the first screen's plots (the convergence and the
// importances). The dashboard draws them before Plotly's bundle runs, which
// holds the page's main thread for a second or more; Plotly draws them again,
// with zoom and hover, once it is there. Without Plotly (it failed to load)
// they stay, and the page still shows the run.
//
// Texts from a journal become SVG text nodes: never markup.
"use strict";

const Sketch = (function () {
  const SVG = "http://www.w3.org/2000/svg";
  const HEIGHT = 320;
  const MARGIN = { l: 60, r: 16, t: 30, b: 40 };
  const TICKS = 6;  // about this many ticks on each axis
  const BLUE = "#1f77b4", ORANGE = "#ff7f0e";

  function node(tag, attributes, text) {
    const made = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attributes || {})) made.setAttribute(k, String(v));
    if (text !== undefined) made.textContent = String(text);
    return made;
  }

  // Round ticks (1, 2 or 5 times a power of ten) covering [lo, hi].
  function ticks(lo, hi) {
    const raw = (hi - lo) / TICKS;
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw);
    const found = [];
    for (let v = Math.ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) {
      found.push(Math.abs(v) < step * 1e-9 ? 0 : v);
    }
    return found;
  }

  function tickText(v) {
    const a = Math.abs(v);
    if (a !== 0 && (a >= 1e6 || a < 1e-3)) return v.toExponential(1);
    return String(Number(v.toPrecision(6)));
  }

  // An axis range that shows every value, widened when they are all equal.
  function range(values) {
    let lo = Infinity, hi = -Infinity;
    for (const v of values) { if (v < lo) lo = v; if (v > hi) hi = v; }
    if (!(lo <= hi)) return [0, 1];
    if (lo === hi) { const pad = Math.abs(lo) * 0.1 || 1; return [lo - pad, hi + pad]; }
    const pad = (hi - lo) * 0.04;
    return [lo - pad, hi + pad];
  }

  // An empty figure the width of `box`, with its title: [svg, width, height].
  function frame(box, title, margin) {
    const width = Math.max(box.clientWidth, 200);
    const svg = node("svg", { class: "sketch", width, height: HEIGHT, role: "img" });
    svg.append(node("text", { x: width / 2, y: 20, "text-anchor": "middle", class: "title" }, title));
    box.replaceChildren(svg);
    return [svg, width - margin.l - margin.r, HEIGHT - margin.t - margin.b];
  }

  // Markers and a step line (drawn after each x) against the trial number.
  // series: [{x, y, name, steps: bool}]; the markers' hover text names the trial.
  function points(box, { title, xTitle, series }) {
    const [svg, w, h] = frame(box, title, MARGIN);
    const [x0, x1] = range(series.flatMap((s) => s.x));
    const [y0, y1] = range(series.flatMap((s) => s.y));
    const X = (v) => MARGIN.l + ((v - x0) / (x1 - x0)) * w;
    const Y = (v) => MARGIN.t + h - ((v - y0) / (y1 - y0)) * h;
    const axes = node("g", { class: "axes" });
    for (const v of ticks(x0, x1)) {
      axes.append(node("line", { x1: X(v), x2: X(v), y1: MARGIN.t, y2: MARGIN.t + h, class: "grid" }));
      axes.append(node("text", { x: X(v), y: MARGIN.t + h + 14, "text-anchor": "middle" }, tickText(v)));
    }
    for (const v of ticks(y0, y1)) {
      axes.append(node("line", { x1: MARGIN.l, x2: MARGIN.l + w, y1: Y(v), y2: Y(v), class: "grid" }));
      axes.append(node("text", { x: MARGIN.l - 6, y: Y(v) + 4, "text-anchor": "end" }, tickText(v)));
    }
    axes.append(node("text", { x: MARGIN.l + w / 2, y: HEIGHT - 6, "text-anchor": "middle" }, xTitle));
    svg.append(axes);
    for (const s of series) {
      if (s.steps) {
        let d = "";
        s.x.forEach((x, i) => { d += i ? `H${X(x)}V${Y(s.y[i])}` : `M${X(x)} ${Y(s.y[i])}`; });
        svg.append(node("path", { d, class: "steps", fill: "none", stroke: ORANGE, "stroke-width": 2 }));
      } else {
        const g = node("g", { class: "markers" });
        s.x.forEach((x, i) => {
          const dot = node("circle", { class: "point", cx: X(x), cy: Y(s.y[i]), r: 2.5,
            fill: BLUE, "fill-opacity": 0.6 });
          dot.append(node("title", {}, `${s.name} ${x}: ${tickText(s.y[i])}`));
          g.append(dot);
        });
        svg.append(g);
      }
    }
  }

  // Horizontal bars, the first label on top.
  function bars(box, { title, labels, values }) {
    const margin = { ...MARGIN, l: 130 };
    const [svg, w, h] = frame(box, title, margin);
    const top = Math.max(0, ...values) || 1;
    const band = h / Math.max(labels.length, 1);
    const g = node("g", { class: "bars" });
    labels.forEach((label, i) => {
      const y = margin.t + i * band;
      const bar = node("rect", { class: "bar", x: margin.l, y: y + band * 0.15,
        width: (Math.max(values[i], 0) / top) * w, height: band * 0.7, fill: BLUE });
      bar.append(node("title", {}, `${label}: ${tickText(values[i])}`));
      const chars = [...label];
      const text = node("text", { x: margin.l - 6, y: y + band / 2 + 4, "text-anchor": "end" },
        chars.length > 18 ? chars.slice(0, 17).join("") + "…" : label);
      g.append(bar, text);
    });
    svg.append(g);
  }

  return { points, bars };
})();
