// The parameters' importances, computed by the dashboard's worker from the
// trials it has read: the statistic of vordaopt.importance (importances.py),
// step for step, so the page shows what Python would. A test holds the two
// equal. For each parameter the counted trials are grouped by its value
// (a category, an integer, a band of equal counts) and it scores the
// adjusted share of the variance of the value ranks the groups explain.
"use strict";

const IMPORTANCE_BANDS = 10;  // as importances.BANDS

// A sum as Python's sum() of floats makes it: with Neumaier's compensation.
function compensatedSum(values) {
  let sum = 0, c = 0;
  for (const x of values) {
    const t = sum + x;
    c += Math.abs(sum) >= Math.abs(x) ? (sum - t) + x : (x - t) + sum;
    sum = t;
  }
  return c && Number.isFinite(c) ? sum + c : sum;
}

// The index of the first element of `sorted` that is not below `v`.
function lowerBound(sorted, v) {
  let lo = 0, hi = sorted.length;
  while (lo < hi) {
    const mid = (lo + hi) >>> 1;
    if (sorted[mid] < v) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// The index of the first element of `sorted` above `v`.
function upperBound(sorted, v) {
  let lo = 0, hi = sorted.length;
  while (lo < hi) {
    const mid = (lo + hi) >>> 1;
    if (sorted[mid] <= v) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// Average ranks from 1; ties share their mean rank. The ties of v fill
// [first, last] of the sorted values: their ranks are 1 + first ... 1 + last.
// (A typed array sorts numbers natively: many times faster than sorting
// indices with a comparator.)
function averageRanks(values) {
  const sorted = Float64Array.from(values).sort();
  return values.map((v) => {
    const first = lowerBound(sorted, v);
    const last = first + 1 < sorted.length && sorted[first + 1] === v ? upperBound(sorted, v) - 1 : first;
    return (first + last) / 2 + 1;
  });
}

// The group of each trial by the parameter at `position` of the unit vector.
function groupsBy(spec, name, position, trials) {
  // Where a conditional parameter is inactive, its absence is a group of its own.
  if (trials.some((t) => !(name in t.params))) {
    const present = trials.filter((t) => name in t.params);
    const inner = groupsBy(spec, name, position, present);
    let k = 0;
    return trials.map((t) => (name in t.params ? inner[k++] : -1));
  }
  const type = spec !== null && typeof spec === "object" ? spec.type : null;
  if (type === "categorical") {
    const n = choicesOf(spec).length;
    return trials.map((t) => Math.min(Math.floor(Math.min(Math.max(t.unit[position], 0), 1) * n), n - 1));
  }
  if (type === "int" && spec.high - spec.low < IMPORTANCE_BANDS) {
    return trials.map((t) => t.params[name] - spec.low);
  }
  // Bands of equal counts, each starting where a new coordinate does: equal
  // coordinates share the band of the first of them in sorted order.
  const u = trials.map((t) => t.unit[position]);
  const sorted = Float64Array.from(u).sort();
  return u.map((v) => Math.floor((lowerBound(sorted, v) * IMPORTANCE_BANDS) / u.length));
}

// The adjusted correlation ratio of `ranks` by `groups`, 0 when negative.
function explained(ranks, groups) {
  const n = ranks.length;
  const mean = compensatedSum(ranks) / n;
  const total = compensatedSum(ranks.map((r) => (r - mean) * (r - mean)));
  const sums = new Map(), counts = new Map();
  groups.forEach((g, i) => {
    sums.set(g, (sums.get(g) || 0) + ranks[i]);
    counts.set(g, (counts.get(g) || 0) + 1);
  });
  const k = counts.size;
  if (total === 0 || k < 2 || n <= k) return 0;
  const between = compensatedSum([...counts].map(([g, c]) => { const d = sums.get(g) / c - mean; return c * (d * d); }));
  return Math.max(0, 1 - ((total - between) / (n - k)) / (total / (n - 1)));
}

// Average ranks from 1 of pruned trials, best first: further is better, then
// a lower value. Ties in both share their mean rank.
function prunedRanks(pruned, sign) {
  const order = pruned.map((_, i) => i).sort((a, b) =>
    pruned[b].step - pruned[a].step || sign * pruned[a].value - sign * pruned[b].value);
  const ranks = new Array(pruned.length);
  for (let i = 0; i < order.length;) {
    let j = i;
    const same = (k) => pruned[order[k]].step === pruned[order[i]].step
      && pruned[order[k]].value === pruned[order[i]].value;
    while (j + 1 < order.length && same(j + 1)) j++;
    for (let k = i; k <= j; k++) ranks[order[k]] = (i + j) / 2 + 1;
    i = j + 1;
  }
  return ranks;
}

// The ranks of the counted trials, as importances._outcome_ranks: the complete
// trials by value, then the pruned ones, each below every complete trial.
function outcomeRanks(trials, sign) {
  const complete = trials.filter((t) => !t.pruned), pruned = trials.filter((t) => t.pruned);
  const completeRanks = averageRanks(complete.map((t) => sign * t.value));
  const rest = prunedRanks(pruned, sign);
  let c = 0, p = 0;
  return trials.map((t) => (t.pruned ? complete.length + rest[p++] : completeRanks[c++]));
}

// From name to importance, most important first, summing to 1 (all 0 when
// nothing explains anything); {} below 2 complete trials. `trials` are the
// counted ones ({value, unit, params}, and {pruned, step} for a pruned one:
// its last report); `names` in the unit vector's order; `sign` -1 when the
// run maximises.
function importances(space, names, trials, sign = 1) {
  if (trials.filter((t) => !t.pruned).length < 2) return {};
  const ranks = outcomeRanks(trials, sign);
  const shares = names.map((name, position) => explained(ranks, groupsBy(space[name], name, position, trials)));
  const total = compensatedSum(shares);
  const scaled = names.map((name, i) => [name, total > 0 ? shares[i] / total : 0]);
  scaled.sort((a, b) => b[1] - a[1] || byCodePoint(a[0], b[0]));
  return Object.fromEntries(scaled);
}
