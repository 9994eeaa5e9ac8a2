// Reading a journal's lines for the page: the header first, then trials and
// budget raises. A line that is damaged, out of place or a repeated trial
// is skipped and counted: the page shows what it can of a journal being
// written.
//
// The same code runs in the page (a report, whose journal is inside it) and
// in a worker of the dashboard, which fetches and reads the lines beside the
// page's main thread, at once and then each second.
"use strict";

// Names in the order of their code points, as the journal's writer sorts
// them (a plain string sort compares UTF-16 units, which differs past U+FFFF).
function byCodePoint(a, b) {
  const x = [...a], y = [...b];
  for (let i = 0; i < Math.min(x.length, y.length); i++) {
    const d = x[i].codePointAt(0) - y[i].codePointAt(0);
    if (d) return d;
  }
  return x.length - y.length;
}

function isObject(v) { return v !== null && typeof v === "object" && !Array.isArray(v); }

// Every parameter of a space from name to its spec, those of the sub-spaces
// that a categorical's choices carry included: the unit vector has one
// coordinate for each, in byte-wise order of names.
function flatSpace(space, into = {}) {
  if (!isObject(space)) return into;
  for (const [name, spec] of Object.entries(space)) {
    into[name] = spec;
    if (isObject(spec) && isObject(spec.choices)) {
      for (const sub of Object.values(spec.choices)) flatSpace(sub, into);
    }
  }
  return into;
}

// A categorical's choices, whether a list or an object from choice to sub-space.
function choicesOf(spec) {
  return Array.isArray(spec.choices) ? spec.choices : Object.keys(spec.choices || {});
}

class JournalReader {
  constructor() {
    this.header = null;
    this.names = [];
    this.space = {};
    this.seen = new Set();
    this.skipped = 0;
    // What the importances are computed from: the complete trials that were
    // evaluated and the pruned ones that reported, with their unit
    // coordinates (a report's lines carry none).
    this.measured = [];
  }

  // The trials new in `text` (whole lines), as the page keeps them.
  take(text) {
    const trials = [];
    for (const line of text.split("\n")) {
      if (!line) continue;
      let r;
      try { r = JSON.parse(line); } catch (error) { this.skipped++; continue; }
      if (this.header === null) {
        if (isObject(r) && r.vordaopt_journal === 1) {
          this.header = r;
          this.space = flatSpace(r.space);
          this.names = Object.keys(this.space).sort(byCodePoint);
        } else {
          this.skipped++;
        }
      } else if (isObject(r) && Object.keys(r).length === 1 && Number.isInteger(r.budget)) {
        this.header.budget = r.budget;
      } else if (isObject(r) && Number.isInteger(r.number) && typeof r.state === "string"
                 && isObject(r.params) && !this.seen.has(r.number)) {
        this.seen.add(r.number);
        const reports = Array.isArray(r.reports)
          ? r.reports.filter(Array.isArray).map((x) => [x[0], x[1]]) : [];
        if (r.reused_from == null && Array.isArray(r.unit)) {
          if (r.state === "complete" && typeof r.value === "number") {
            this.measured.push({ value: r.value, unit: r.unit, params: r.params });
          } else if (r.state === "pruned") {
            // Counted by its last finite report (see importance.js).
            const last = reports.filter((x) => Number.isInteger(x[0]) && Number.isFinite(x[1])).pop();
            if (last) this.measured.push({ pruned: true, step: last[0], value: last[1], unit: r.unit, params: r.params });
          }
        }
        trials.push({ number: r.number, state: r.state,
          value: typeof r.value === "number" ? r.value : null, params: r.params,
          error: typeof r.error === "string" ? r.error : null,
          reports: reports.length ? reports : null,
          metrics: isObject(r.metrics) ? r.metrics : null });
      } else {
        this.skipped++;
      }
    }
    return trials;
  }
}

// In a worker: each message {url} fetches the lines there and answers with
// what they hold and the server's cursor; then, once the journal is read to
// its end, with {importance} when the measured trials have changed. While a
// run grows, they are computed again at most every few times they take.
if (typeof document === "undefined" && typeof self !== "undefined") {
  importScripts("importance.js");
  let reader = new JournalReader();
  let computedFrom = -1, computedAt = -Infinity, took = 0;
  self.onmessage = async (event) => {
    try {
      const response = await fetch(event.data.url);
      const text = await response.text();
      const reset = response.headers.get("X-Vordaopt-Reset") === "1";
      if (reset) { reader = new JournalReader(); computedFrom = -1; }
      const trials = reader.take(text);
      const more = response.headers.get("X-Vordaopt-More") === "1";
      self.postMessage({ trials, reset, header: reader.header, names: reader.names,
        skipped: reader.skipped, more, cursor: response.headers.get("X-Vordaopt-Cursor") || "" });
      const measured = reader.measured;
      if (!more && reader.header && measured.length !== computedFrom
          && performance.now() - computedAt >= 4 * took) {
        const began = performance.now();
        const space = reader.space;
        let importance = {};
        try {
          importance = importances(space, reader.names, measured,
            reader.header.direction === "maximize" ? -1 : 1);
        } catch (error) {
          // A journal too damaged to group its trials shows none.
        }
        computedFrom = measured.length;
        computedAt = performance.now();
        took = computedAt - began;
        self.postMessage({ importance });
      }
    } catch (error) {
      self.postMessage({ error: String(error) });
    }
  };
}
