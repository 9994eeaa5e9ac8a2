"""The dashboard and the report in a real headless Chromium (Debian's, driven by Playwright).

Set VORDAOPT_SCREENSHOT to a file name to keep a picture of the dashboard.
"""

import os
import shutil
import threading

import pytest

from vordaopt import (Categorical, Int, MedianPruner, Periodic, Real, TrialPruned, importance, load,
                      minimize)

pytestmark = pytest.mark.browser
playwright_api = pytest.importorskip("playwright.sync_api")
pytest.importorskip("plotly")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
if CHROMIUM is None:
    pytest.skip("no chromium on the PATH (make test installs Debian's)", allow_module_level=True)

from vordaopt.dashboard import ASSETS, DashboardServer, write_report  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>"
# Plotly reads a small HTML subset in its labels: this name would be a live link.
LINK = '<a href="https://example.com/phish">LINK</a>'
SPACE = {"lr": Real(1e-4, 1, log=True), "layers": Int(1, 6),
         HOSTILE: Categorical(["a", "<b onmouseover=alert(2)>b</b>"]),
         LINK: Categorical(["<b>bold</b>", "plain"])}


def objective(p, trial):
    value = (p["lr"] - 0.01) ** 2 * 100 + 0.1 * p["layers"] + (p[HOSTILE] == "a")
    for step in range(1, 6):
        trial.report(value + 1 / step, step)
        if p["layers"] == 6:
            raise RuntimeError("<script>alert(3)</script> out of memory")
        if trial.should_prune():
            raise TrialPruned()
    return value


def run(path, budget):
    return minimize(objective, SPACE, budget, seed=2, journal=path, catch=RuntimeError,
                    pruner=MedianPruner(n_startup_trials=3))


@pytest.fixture(scope="module")
def browser():
    with playwright_api.sync_playwright() as p:
        chromium = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield chromium
        chromium.close()


class Watched:
    """A page whose console errors, dialogs and requests are kept."""

    def __init__(self, browser, offline=False):
        self.context = browser.new_context(offline=offline, viewport={"width": 1400, "height": 1000})
        self.page = self.context.new_page()
        self.errors, self.dialogs, self.requests = [], [], []
        self.page.on("console", lambda m: m.type == "error" and self.errors.append(m.text))
        self.page.on("pageerror", lambda e: self.errors.append(str(e)))
        self.page.on("dialog", lambda d: (self.dialogs.append(d.message), d.dismiss()))
        self.page.on("request", lambda r: self.requests.append(r.url))

    def trials(self):
        return int(self.page.get_attribute("body", "data-trials") or -1)

    def close(self):
        self.context.close()


def draw(page, plots, trials):
    """Waits for Plotly, then for each plot to be drawn with `trials` trials."""
    page.wait_for_function("document.body.dataset.plotly === 'ready'")
    # Plots are drawn as they come into view: visit each.
    for plot in plots:
        page.locator(f"#{plot}").scroll_into_view_if_needed()
        page.wait_for_function(f"document.getElementById('{plot}').dataset.drawn === '{trials}'")


def check_views(watched, result):
    page = watched.page
    draw(page, ("convergence", "importance", "intermediate", "parallel", "slices"),
         len(result.trials))
    # The server sends the importances once computed.
    page.wait_for_function("document.querySelectorAll('#importance .bars .point').length "
                           f"=== {len(SPACE)}")
    counts = page.locator("[data-field=trials]").inner_text()
    assert counts.startswith(f"{len(result.trials)} (")
    assert f"{result.n_pruned} pruned" in counts and f"{result.n_failed} failed" in counts
    assert page.locator("[data-field=best]").inner_text().startswith(f"trial {result.best.number}:")
    complete = sum(t.state.value == "complete" for t in result.trials)
    # Plotted: every complete trial in the convergence, a bar per parameter, a
    # slice per parameter, a curve per trial that reported, all on canvas or SVG.
    assert page.evaluate("document.getElementById('convergence').data[0].x.length") == complete
    assert page.locator("#convergence .scatterlayer .point").count() == complete
    assert page.evaluate("document.getElementById('slices').data.map((d) => d.x.length)") == \
        [complete] * len(SPACE)
    reported = sum(bool(t.reports) for t in result.trials)
    assert page.evaluate("document.getElementById('intermediate').data.length") == reported + 1
    assert page.locator("#parallel .parcoords").count() == 1
    # Hostile texts are text: in the table's heading and cells, and no element or script from them.
    assert HOSTILE in page.locator("#table-head").inner_text()
    assert page.locator("img, b[onmouseover]").count() == 0
    for plot in ("parallel", "slices", "importance"):
        assert page.locator(f"#{plot} a").count() == 0
        assert LINK[:23] in page.locator(f"#{plot}").text_content()  # long labels are shortened
    assert "<b>bold</b>" in page.locator("#parallel").text_content()
    assert not watched.dialogs and not watched.errors


def test_the_report_opens_from_disk_with_the_network_off(browser, tmp_path):
    journal, report = tmp_path / "run.jsonl", tmp_path / "report.html"
    result = run(journal, 40)
    write_report(journal, report)
    watched = Watched(browser, offline=True)
    try:
        watched.page.goto(report.as_uri())
        watched.page.wait_for_function("document.body.dataset.trials === '40'")
        check_views(watched, result)
        assert all(url.startswith(("file:", "data:", "blob:")) for url in watched.requests)
    finally:
        watched.close()


def test_the_table_sorts_and_filters(browser, tmp_path):
    journal, report = tmp_path / "run.jsonl", tmp_path / "report.html"
    result = run(journal, 40)
    write_report(journal, report)
    watched = Watched(browser)
    page = watched.page
    try:
        page.goto(report.as_uri())
        page.wait_for_function("document.body.dataset.trials === '40'")
        page.click("#table-head [data-key=value]")
        assert page.locator("#table-rows .row").first.get_attribute("data-number") == str(result.best.number)
        page.click("#table-head [data-key=value]")  # again: descending, trials without a value last
        worst = max((t for t in result.trials if t.value is not None), key=lambda t: t.value)
        assert page.locator("#table-rows .row").first.get_attribute("data-number") == str(worst.number)
        page.fill("#filter", "out of memory")
        failed = [t for t in result.trials if t.error and "out of memory" in t.error]
        assert page.get_attribute("#table", "data-rows") == str(len(failed)) != "0"
        assert "<script>alert(3)</script> out of memory" in page.locator("#table-rows").inner_text()
        page.fill("#filter", "pruned")
        assert page.get_attribute("#table", "data-rows") == str(result.n_pruned)
        assert not watched.dialogs and not watched.errors
    finally:
        watched.close()


def test_the_dashboard_follows_a_run_without_a_reload(browser, tmp_path):
    folder = tmp_path / "runs"
    folder.mkdir()
    journal = folder / "run.jsonl"
    run(journal, 20)
    server = DashboardServer(folder, port=0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    watched = Watched(browser)
    try:
        host, port = server.server_address[:2]
        watched.page.goto(f"http://{host}:{port}/")
        watched.page.wait_for_function("document.body.dataset.trials === '20'")
        watched.page.evaluate("window.notReloaded = true")
        result = run(journal, 30)  # the run goes on, in the same journal
        watched.page.wait_for_function("document.body.dataset.trials === '30'", timeout=10_000)
        assert watched.page.evaluate("window.notReloaded") is True
        assert watched.page.locator("[data-field=budget]").inner_text() == "30"
        check_views(watched, load(journal))
        assert result.n_trials == 30
        shot = os.environ.get("VORDAOPT_SCREENSHOT")
        if shot:
            watched.page.evaluate("window.scrollTo(0, 0)")
            watched.page.screenshot(path=shot, full_page=True)  # every view, each drawn when visited
    finally:
        watched.close()
        server.shutdown()
        server.server_close()


def test_the_first_screen_is_drawn_without_plotly(browser, tmp_path):
    # The dashboard draws its first screen before it runs Plotly's bundle;
    # should the bundle fail, that screen stays and the rest says why.
    folder = tmp_path / "runs"
    folder.mkdir()
    result = run(folder / "run.jsonl", 30)
    server = DashboardServer(folder, port=0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    watched = Watched(browser)
    page = watched.page
    try:
        page.route("**/plotly.min.js", lambda route: route.abort())
        host, port = server.server_address[:2]
        page.goto(f"http://{host}:{port}/")
        page.wait_for_function("document.body.dataset.plotly === 'failed'")
        page.wait_for_function(f"document.getElementById('importance').dataset.bars === '{len(SPACE)}'")
        complete = sum(t.state.value == "complete" for t in result.trials)
        assert page.locator("#convergence svg.sketch .point").count() == complete
        assert page.locator("#convergence svg.sketch path.steps").count() == 1
        assert page.locator("#importance svg.sketch rect.bar").count() == len(SPACE)
        assert HOSTILE in page.locator("#importance svg.sketch").text_content()  # as text
        assert page.locator("[data-field=best]").inner_text().startswith(f"trial {result.best.number}:")
        page.locator("#slices").scroll_into_view_if_needed()
        assert "could not be loaded" in page.locator("#slices").inner_text()
        assert page.locator("img, b[onmouseover]").count() == 0 and not watched.dialogs
        assert [e for e in watched.errors if "ERR_FAILED" not in e] == []  # only the blocked bundle
    finally:
        watched.close()
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("method, direction", [("auto", "minimize"), ("batch", "minimize"),
                                               ("pruned", "maximize"), ("conditional", "minimize")])
def test_the_page_computes_the_importances_python_does(browser, tmp_path, method, direction):
    # Every kind of grouping (categories, a few integers, bands of reals,
    # many integers and angles), tied values, failures and repeats answered
    # from the record (batch mode reuses them), which are left out.
    space = {"c": Categorical(["x", "y", "z"]), "few": Int(0, 4), "many": Int(1, 1000, log=True),
             "r": Real(-1, 1), "angle": Periodic(0, 360), "\U0001F600": Real(0, 1)}
    if method == "conditional":  # "few" and "angle" are absent unless c is "x"
        space = {"c": Categorical({"x": {"few": Int(0, 4), "angle": Periodic(0, 360)},
                                   "y": {}, "z": {"few": Int(0, 4)}}),
                 "many": Int(1, 1000, log=True), "r": Real(-1, 1), "\U0001F600": Real(0, 1)}

    def tied(p, trial):
        if p.get("few") == 4 and p["r"] > 0.5:
            raise RuntimeError("diverged")
        value = round(p["r"] ** 2 + (p["c"] == "x") + p.get("few", 2) / 8
                      + p.get("angle", 0) / 3600, 1)
        for step in range(1, 4):  # pruned trials count by their last report
            trial.report(round(value + 1 / step, 1), step)
            if trial.should_prune():
                raise TrialPruned()
        return value

    journal = tmp_path / "run.jsonl"
    pruner = MedianPruner(n_startup_trials=3) if method == "pruned" else None
    result = minimize(tied, space, 80, seed=3, method=method if method in ("auto", "batch") else "auto",
                      journal=journal, catch=RuntimeError, pruner=pruner, direction=direction)
    assert result.n_failed > 0 and (result.n_pruned > 0) == (method == "pruned")
    code = "".join((ASSETS / f).read_text(encoding="utf-8") for f in ("reader.js", "importance.js"))
    watched = Watched(browser)
    try:
        found = watched.page.evaluate(code + """;
            (lines) => { const reader = new JournalReader(); reader.take(lines);
                         return Object.entries(importances(reader.space, reader.names,
                           reader.measured, reader.header.direction === "maximize" ? -1 : 1)); }""",
                                      journal.read_text(encoding="utf-8"))
    finally:
        watched.close()
    expected = importance(journal)
    assert [name for name, _ in found] == list(expected)  # the same order
    assert [v for _, v in found] == pytest.approx(list(expected.values()), rel=1e-12, abs=1e-15)


def test_a_report_of_several_objectives_shows_the_front_and_its_hypervolume(browser, tmp_path):
    journal, report = tmp_path / "mo.jsonl", tmp_path / "mo.html"

    def metrics(p):
        return {HOSTILE: p["x"], "speed": p["x"] - p["y"] ** 2, "memory": p["y"]}

    result = minimize(metrics, {"x": Real(0, 1), "y": Real(0, 1)}, 30, seed=3, journal=journal,
                      objectives={HOSTILE: "minimize", "speed": "maximize"},
                      constraints={"memory": (None, 0.9)})
    write_report(journal, report)
    watched = Watched(browser, offline=True)
    try:
        page = watched.page
        page.goto(report.as_uri())
        draw(page, ("front", "hypervolume"), 30)
        # Traces: feasible off the front, infeasible, the front.
        drawn = page.evaluate("document.getElementById('front').data.map((d) => d.x.length)")
        infeasible = sum(not t.feasible for t in result.trials if t.values)
        assert drawn[1:] == [infeasible, len(result.pareto_front)]
        assert sorted(page.evaluate("document.getElementById('front').data[2].x")) == \
            sorted(t.values[0] for t in result.pareto_front)
        hv = page.evaluate("document.getElementById('hypervolume').data[0].y")
        assert hv == sorted(hv) and hv[-1] > 0  # it never shrinks
        assert "speed (maximize)" in page.locator("[data-field=objectives]").inner_text()
        assert page.locator("img").count() == 0 and not watched.dialogs and not watched.errors
    finally:
        watched.close()


def test_a_report_of_a_conditional_space_draws_every_view(browser, tmp_path):
    journal, report = tmp_path / "conditional.jsonl", tmp_path / "conditional.html"
    space = {"lr": Real(1e-4, 1, log=True),
             "opt": Categorical({"sgd": {"momentum": Real(0, 1)}, "adam": {}})}
    result = minimize(lambda p: p["lr"] + p.get("momentum", 0.5), space, 30, journal=journal)
    write_report(journal, report)
    watched = Watched(browser, offline=True)
    try:
        page = watched.page
        page.goto(report.as_uri())
        draw(page, ("convergence", "importance", "parallel", "slices"), 30)
        xs = page.evaluate("document.getElementById('slices').data.map((d) => d.x)")
        complete = [t for t in result.trials if t.state.value == "complete"]
        momentum = sorted(t.params["momentum"] for t in complete if "momentum" in t.params)
        # Absent where opt is adam: no point there.
        assert sorted(x for x in xs[1] if x is not None) == momentum
        assert xs[1].count(None) == sum("momentum" not in t.params for t in complete) > 0
        assert "absent" in page.locator("#parallel").text_content()
        assert not watched.dialogs and not watched.errors
    finally:
        watched.close()
