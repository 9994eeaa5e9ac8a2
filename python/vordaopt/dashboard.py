"""The dashboard (a local web page that follows runs as they go) and the report (one HTML file).

Both show the same views, drawn in the browser by ``dashboard_assets/app.js``
with Plotly's JavaScript bundle, which the ``plotly`` package ships
(``pip install "vordaopt[dashboard]"``): nothing is fetched from the network.
The report embeds the bundle, the page's code and the run's data in one
file. The dashboard is served by the standard library's HTTP server, read
only, on 127.0.0.1 unless told otherwise; the page asks it for new trials
every second.

Every text from a journal (names, choices, errors, commands) reaches the page
as data, never as markup: the page writes it as text, and the data embedded
in a report cannot close its script element.
"""

from __future__ import annotations

import html
import json
import math
import os
import pathlib
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

from .importances import importance
from .journal import read_journal, trial_from_record
from .journal_tail import JournalTail
from .minimize import Result
from .space import space_from_json

__all__ = ["write_report", "DashboardServer", "serve"]

ASSETS = pathlib.Path(__file__).with_name("dashboard_assets")
#: Importances are computed again at most this often while a run grows (seconds).
IMPORTANCE_EVERY = 5.0


def _plotly_bundle() -> bytes:
    try:
        import plotly  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError('the dashboard and the report need plotly: pip install '
                          '"vordaopt[dashboard]"') from None
    return (pathlib.Path(plotly.__file__).parent / "package_data" / "plotly.min.js").read_bytes()


def _names(header: dict[str, Any] | None) -> list[str]:
    """The parameter names in byte-wise order: the order of each trial's values sent to the page."""
    space = (header or {}).get("space")
    return sorted(space) if isinstance(space, dict) else []


def _compact(record: dict[str, Any], names: list[str]) -> list[Any]:
    """One trial as the page reads it: number, state, value, params in name order, error, reports."""
    reports = [[r[0], r[1]] for r in record.get("reports", ())] or None
    return [record["number"], record["state"], record.get("value"),
            [record["params"].get(n) for n in names], record.get("error"), reports]


def _importance(header: dict[str, Any], records: list[dict[str, Any]]) -> dict[str, float]:
    space = header.get("space")
    if not isinstance(space, dict):
        return {}
    trials = tuple(trial_from_record(r) for r in records)
    result = Result(None, trials, len(trials), 0.0, str(header.get("direction", "minimize")),
                    space_from_json(space))
    try:
        return importance(result)
    except ValueError:
        return {}


def _json_for_script(data: Any) -> str:
    """JSON that can sit inside a <script> element: no "<" can end it early."""
    return json.dumps(data, allow_nan=False, separators=(",", ":")).replace("<", "\\u003c")


def _page(title: str, body_scripts: str) -> str:
    return (
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{html.escape(title)}</title>"
        f"<style>{(ASSETS / 'app.css').read_text(encoding='utf-8')}</style></head><body>"
        "<header><h1>vordaopt</h1><nav id=\"runs\"></nav></header><main>"
        "<section id=\"summary\"></section>"
        "<section class=\"plots\"><div class=\"plot\" id=\"convergence\"></div>"
        "<div class=\"plot\" id=\"importance\"></div><div class=\"plot\" id=\"intermediate\"></div>"
        "<div class=\"plot\" id=\"parallel\"></div></section>"
        "<section class=\"plots\" id=\"slices\"></section>"
        "<section><input id=\"filter\" type=\"search\" placeholder=\"filter the trials\">"
        "<div id=\"table\"><div id=\"table-head\"></div><div id=\"table-body\">"
        "<div id=\"table-spacer\"></div><div id=\"table-rows\"></div></div></div></section>"
        f"</main>{body_scripts}</body></html>\n")


def report_html(path: str | os.PathLike[str]) -> str:
    """The report of a journal: one HTML page with every view, the data and the code inside."""
    header, records = read_journal(path)
    names = _names(header)
    data = {"run": {"id": "0", "path": os.fspath(path), "name": os.path.basename(path)},
            "header": header, "names": names, "trials": [_compact(r, names) for r in records],
            "importance": _importance(header, records)}
    bundle = _plotly_bundle().decode("utf-8")
    scripts = (f"<script>{bundle}</script>"
               f"<script type=\"application/json\" id=\"vordaopt-data\">{_json_for_script(data)}</script>"
               f"<script>{(ASSETS / 'app.js').read_text(encoding='utf-8')}</script>")
    return _page(f"vordaopt report: {os.path.basename(path)}", scripts)


def write_report(journal: str | os.PathLike[str], output: str | os.PathLike[str]) -> None:
    """Writes the report of `journal` to `output` (see :func:`report_html`)."""
    text = report_html(journal)
    pathlib.Path(output).write_text(text, encoding="utf-8")


class _Run:
    """One journal the server follows: everything read so far, and its importances."""

    def __init__(self, run_id: str, path: str) -> None:
        self.id, self.path = run_id, path
        self.tail = JournalTail(path)
        self.header: dict[str, Any] | None = None
        self.records: list[dict[str, Any]] = []
        self.generation = 0  # counts resets: a client's cursor is only good within one
        self.importance: dict[str, float] = {}
        self.importance_at = -math.inf
        self.importance_count = -1
        self.lock = threading.Lock()

    def update(self, now: float) -> None:
        with self.lock:
            found = self.tail.poll()
            if found.reset:
                self.header, self.records = None, []
                self.generation += 1
                self.importance, self.importance_count = {}, -1
            if found.header is not None:
                self.header = dict(found.header)
            if found.budgets and self.header is not None:
                self.header["budget"] = found.budgets[-1]  # a resumed run raised it
            self.records += found.records
            if (self.header is not None and self.importance_count != len(self.records)
                    and now - self.importance_at >= IMPORTANCE_EVERY):
                self.importance = _importance(self.header, self.records)
                self.importance_at, self.importance_count = now, len(self.records)

    def since(self, cursor: str) -> dict[str, Any]:
        """The trials a client holding `cursor` lacks, and its next cursor."""
        with self.lock:
            generation, _, count = cursor.partition(".")
            fresh = generation != str(self.generation) or not count.isdigit()
            start = 0 if fresh else min(int(count), len(self.records))
            names = _names(self.header)
            return {
                "reset": fresh,
                "header": self.header if fresh else None,
                "names": names,
                "trials": [_compact(r, names) for r in self.records[start:]],
                "importance": self.importance,
                "budget": (self.header or {}).get("budget"),
                "cursor": f"{self.generation}.{len(self.records)}",
            }


class DashboardServer(ThreadingHTTPServer):
    """Serves the page, its assets and the runs of `path` (a journal or a folder of them)."""

    daemon_threads = True

    def __init__(self, path: str | os.PathLike[str], host: str = "127.0.0.1", port: int = 8050) -> None:
        self.root = pathlib.Path(path)
        if not self.root.exists():
            raise FileNotFoundError(f"no journal or folder {self.root}")
        self.bundle = _plotly_bundle()
        self.runs: dict[str, _Run] = {}
        super().__init__((host, port), _Handler)

    def journals(self) -> list[_Run]:
        """The runs to list: the journal, or the folder's *.jsonl files by name."""
        paths = [self.root] if self.root.is_file() else sorted(self.root.glob("*.jsonl"))
        runs = []
        for i, p in enumerate(paths):
            key = str(p)
            if key not in self.runs:
                self.runs[key] = _Run(str(len(self.runs)), key)
            runs.append(self.runs[key])
        return runs


class _Handler(BaseHTTPRequestHandler):
    server: DashboardServer

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        pass  # quiet: the terminal shows the address, not every request

    def _send(self, body: bytes, content_type: str, status: int = HTTPStatus.OK) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        # Scripts from this server only (Plotly's WebGL plots compile code, hence
        # 'unsafe-eval'); Plotly adds style elements of its own.
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; script-src 'self' 'unsafe-eval'; "
                         "style-src 'self' 'unsafe-inline'; img-src 'self' data: blob:")
        self.end_headers()
        self.wfile.write(body)

    def _json(self, data: Any) -> None:
        self._send(json.dumps(data, allow_nan=False).encode(), "application/json")

    def do_GET(self) -> None:  # noqa: N802 - the base's name
        url = urlsplit(self.path)
        if url.path == "/":
            scripts = ("<script src=\"static/plotly.min.js\"></script>"
                       "<script src=\"static/app.js\"></script>")
            self._send(_page("vordaopt dashboard", scripts).encode(), "text/html; charset=utf-8")
        elif url.path == "/static/plotly.min.js":
            self._send(self.server.bundle, "text/javascript")
        elif url.path == "/favicon.ico":
            self._send(b"", "image/x-icon", HTTPStatus.NO_CONTENT)
        elif url.path == "/static/app.js":
            self._send((ASSETS / "app.js").read_bytes(), "text/javascript")
        elif url.path == "/api/runs":
            self._json([{"id": r.id, "path": r.path, "name": os.path.basename(r.path)}
                        for r in self.server.journals()])
        elif url.path.startswith("/api/run/"):
            run_id = url.path[len("/api/run/"):]
            run = next((r for r in self.server.journals() if r.id == run_id), None)
            if run is None:
                self._send(b"no such run", "text/plain", HTTPStatus.NOT_FOUND)
                return
            run.update(time.monotonic())
            cursor = parse_qs(url.query).get("since", [""])[0]
            self._json(run.since(cursor))
        else:
            self._send(b"not found", "text/plain", HTTPStatus.NOT_FOUND)

    def do_POST(self) -> None:  # noqa: N802 - the base's name
        self._send(b"read only", "text/plain", HTTPStatus.METHOD_NOT_ALLOWED)

    do_PUT = do_DELETE = do_PATCH = do_POST  # noqa: N815


def serve(path: str | os.PathLike[str], host: str = "127.0.0.1", port: int = 8050) -> None:
    """Serves the dashboard until interrupted."""
    with DashboardServer(path, host, port) as server:
        host_name, port_number = server.server_address[:2]
        print(f"vordaopt dashboard on http://{host_name!s}:{port_number}/ (Ctrl-C to stop)",
              flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
