"""The dashboard and the report on a journal of 100,000 trials.

Writes a journal of a CMA-ES run over ten parameters (three of them integers
and categories), then prints: the time `vordaopt report` takes to write its
file; the time from opening the dashboard in a headless Chromium (the
server started just before) until the first screen is drawn (summary,
convergence, table); until the importances are drawn; until Plotly has
drawn the plots in view again; the time each plot below
takes to draw once scrolled to; the time to sort the table by value and to
filter it (each measured in the page, from the click or the keystroke to the
rows drawn). Needs plotly, playwright and Debian's chromium (as `make test`).

    python bench/dashboard_speed.py [--trials 100000]
"""

from __future__ import annotations

import argparse
import json
import shutil
import tempfile
import threading
import time
from pathlib import Path

import vordaopt
from vordaopt.journal import trial_to_record


def make_journal(path: Path, trials: int) -> None:
    space = {f"x{i}": vordaopt.Real(-5, 5) for i in range(7)}
    space |= {"n": vordaopt.Int(1, 100, log=True), "kind": vordaopt.Categorical(["a", "b", "c"]),
              "angle": vordaopt.Periodic(0, 360)}
    opt = vordaopt.Optimizer(space, trials, seed=0, method="cma")
    while (handed := opt.ask()) is not None:
        for t in handed:
            p = t.params
            opt.tell(t, sum(p[f"x{i}"] ** 2 for i in range(7)) + p["n"] / 10 + (p["kind"] != "b"))
    with path.open("w") as f:
        f.write(json.dumps({"vordaopt_journal": 1, **opt.settings()}, separators=(",", ":")) + "\n")
        for t in opt.trials:
            f.write(json.dumps(trial_to_record(t), separators=(",", ":")) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=100_000)
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    from vordaopt.dashboard import DashboardServer, write_report

    folder = Path(tempfile.mkdtemp())
    journal = folder / "run.jsonl"
    make_journal(journal, args.trials)
    print(f"journal: {args.trials} trials, {journal.stat().st_size / 1e6:.1f} MB")
    began = time.perf_counter()
    write_report(journal, folder / "report.html")
    print(f"vordaopt report: {time.perf_counter() - began:.2f} s, "
          f"{(folder / 'report.html').stat().st_size / 1e6:.1f} MB")

    server = DashboardServer(folder, port=0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    host, port = server.server_address[:2]
    chromium = shutil.which("chromium") or "chromium"
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1400, "height": 1000})
        began = time.perf_counter()
        page.goto(f"http://{host}:{port}/")
        page.wait_for_function(f"document.body.dataset.trials === '{args.trials}'", timeout=120_000)
        print(f"dashboard, first screen: {time.perf_counter() - began:.2f} s")
        page.wait_for_function("document.getElementById('importance').dataset.bars > 0",
                               timeout=120_000, polling=50)
        print(f"importances shown: {time.perf_counter() - began:.2f} s")
        page.wait_for_function("document.body.dataset.plotly === 'ready'", timeout=120_000, polling=50)
        print(f"plots on screen redrawn with Plotly (zoom, hover): {time.perf_counter() - began:.2f} s")
        for plot in ("parallel", "slices"):
            scrolled = time.perf_counter()
            page.locator(f"#{plot}").scroll_into_view_if_needed()
            page.wait_for_function(f"document.getElementById('{plot}').dataset.drawn === '{args.trials}'",
                                   timeout=120_000, polling=20)
            print(f"{plot}, drawn once scrolled to: {time.perf_counter() - scrolled:.2f} s")
        for label, action in [
            ("sort by value", "document.querySelector('#table-head [data-key=value]').click()"),
            ("sort by value, descending", "document.querySelector('#table-head [data-key=value]').click()"),
            ("sort by a parameter", "document.querySelector('#table-head [data-key=\"param:kind\"]').click()"),
            ("filter (type 'b')", "const f = document.getElementById('filter'); f.value = 'b'; "
                                  "f.dispatchEvent(new Event('input'))"),
        ]:
            ms = page.evaluate("(() => { const t = performance.now(); " + action
                               + "; return performance.now() - t; })()")
            print(f"{label}: {ms:.0f} ms")
        browser.close()
    server.shutdown()
    server.server_close()
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
