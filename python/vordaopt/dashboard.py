"""The dashboard (a local web page that follows runs as they go) and the report (one HTML file).

Both show the same views, drawn in the browser by ``dashboard_assets/app.js``
with Plotly's JavaScript bundle, which the ``plotly`` package ships
(``pip install "vordaopt[dashboard]"``): nothing is fetched from the network.
The report embeds the bundle, the page's code and the run's journal in one
file. The dashboard is served by the standard library's HTTP server, read
only, on 127.0.0.1 unless told otherwise; the page asks it for the lines
added to the journal every second. Its first screen (the counts, the
convergence, the importances, the table) is drawn as plain SVG by
``sketch.js`` before the page runs Plotly's bundle, which holds the browser
for a second or more; Plotly then draws every plot, with zoom and hover.

The server sends journal lines as they are, and a worker of the page reads
them and computes the importances (``importance.js``, the statistic of
:func:`vordaopt.importance`): a 100,000-trial journal reaches the page in a
fraction of a second, where parsing it in Python took seconds. A report
carries the importances Python computed.

Every text from a journal (names, choices, errors, commands) reaches the page
as data, never as markup: the page writes it as text, and the data embedded
in a report cannot close its script element.
"""

from __future__ import annotations

import html
import json
import os
import pathlib
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

from .importances import importance
from .journal import read_journal, trial_from_record
from .minimize import Result
from .space import space_from_json

__all__ = ["write_report", "DashboardServer", "serve"]

ASSETS = pathlib.Path(__file__).with_name("dashboard_assets")
#: Bytes of journal lines sent at most in one response; the page asks again for more.
READ_LIMIT = 1 << 26


def _plotly_bundle() -> bytes:
    try:
        import plotly  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError('the dashboard and the report need plotly: pip install '
                          '"vordaopt[dashboard]"') from None
    return (pathlib.Path(plotly.__file__).parent / "package_data" / "plotly.min.js").read_bytes()


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
        # First what a run's progress is read from (cheap to draw, so the first
        # screen comes fast), then where the trials lie, drawn when scrolled to.
        "<section class=\"plots\"><div class=\"plot\" id=\"convergence\"></div>"
        "<div class=\"plot\" id=\"importance\"></div></section>"
        "<section><input id=\"filter\" type=\"search\" placeholder=\"filter the trials\">"
        "<div id=\"table\"><div id=\"table-head\"></div><div id=\"table-body\">"
        "<div id=\"table-spacer\"></div><div id=\"table-rows\"></div></div></div></section>"
        "<section class=\"plots\"><div class=\"plot\" id=\"intermediate\"></div>"
        "<div class=\"plot\" id=\"parallel\"></div></section>"
        "<section><div class=\"plot\" id=\"slices\"></div></section>"
        f"</main>{body_scripts}</body></html>\n")


# What the page reads of a trial's line: a report carries only these.
_PAGE_FIELDS = ("number", "state", "value", "params", "error", "reports")


def report_html(path: str | os.PathLike[str]) -> str:
    """The report of a journal: one HTML page with every view, the data and the code inside."""
    header, records = read_journal(path)
    lines = [json.dumps(header, separators=(",", ":"))]
    lines += [json.dumps({k: r[k] for k in _PAGE_FIELDS if k in r}, separators=(",", ":"))
              for r in records]
    data = {"run": {"id": "0", "path": os.fspath(path), "name": os.path.basename(path)},
            "journal": "\n".join(lines) + "\n", "importance": _importance(header, records)}
    bundle = _plotly_bundle().decode("utf-8")
    scripts = (f"<script>{bundle}</script>"
               f"<script type=\"application/json\" id=\"vordaopt-data\">{_json_for_script(data)}</script>"
               f"<script>{(ASSETS / 'reader.js').read_text(encoding='utf-8')}</script>"
               f"<script>{(ASSETS / 'app.js').read_text(encoding='utf-8')}</script>")
    return _page(f"vordaopt report: {os.path.basename(path)}", scripts)


def write_report(journal: str | os.PathLike[str], output: str | os.PathLike[str]) -> None:
    """Writes the report of `journal` to `output` (see :func:`report_html`)."""
    text = report_html(journal)
    pathlib.Path(output).write_text(text, encoding="utf-8")


class _Run:
    """One journal the server follows, sending the page its lines."""

    def __init__(self, run_id: str, path: str) -> None:
        self.id, self.path = run_id, path

    def lines(self, cursor: str) -> tuple[bytes, str, bool, bool]:
        """The lines a client holding `cursor` lacks: (lines, next cursor, reset, more to come).

        A cursor names the file (device and inode) and the offset read up to,
        so a replaced or cut file starts the client afresh.
        """
        try:
            info = os.stat(self.path)
        except FileNotFoundError:
            return b"", "", cursor != "", False
        identity = f"{info.st_dev}-{info.st_ino}"
        held, _, offset_text = cursor.rpartition(".")
        offset = int(offset_text) if offset_text.isdigit() else 0
        reset = held != identity or offset > info.st_size
        if reset:
            offset = 0
        try:
            with open(self.path, "rb") as f:
                f.seek(offset)
                data = f.read(READ_LIMIT)
        except FileNotFoundError:
            return b"", "", True, False
        end = offset + data.rfind(b"\n") + 1  # a last line without its line feed is still being written
        data = data[:end - offset]
        # More: the read stopped at its limit (a line longer than the limit is never sent).
        return data, f"{identity}.{end}", reset, bool(data) and offset + READ_LIMIT < info.st_size


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
        for p in paths:
            key = str(p)
            if key not in self.runs:
                self.runs[key] = _Run(str(len(self.runs)), key)
            runs.append(self.runs[key])
        return runs


class _Handler(BaseHTTPRequestHandler):
    server: DashboardServer

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        pass  # quiet: the terminal shows the address, not every request

    def _send(self, body: bytes, content_type: str, status: int = HTTPStatus.OK,
              headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
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
            # Plotly's bundle is not here: the page runs it once its first screen is drawn.
            scripts = ("<script src=\"static/sketch.js\"></script>"
                       "<script src=\"static/app.js\"></script>")
            self._send(_page("vordaopt dashboard", scripts).encode(), "text/html; charset=utf-8")
        elif url.path == "/static/plotly.min.js":
            self._send(self.server.bundle, "text/javascript")
        elif url.path == "/favicon.ico":
            self._send(b"", "image/x-icon", HTTPStatus.NO_CONTENT)
        elif url.path in ("/static/app.js", "/static/reader.js", "/static/sketch.js",
                          "/static/importance.js"):
            self._send((ASSETS / url.path[len("/static/"):]).read_bytes(), "text/javascript")
        elif url.path == "/api/runs":
            self._json([{"id": r.id, "path": r.path, "name": os.path.basename(r.path)}
                        for r in self.server.journals()])
        elif url.path.startswith("/api/run/"):
            run_id, _, what = url.path[len("/api/run/"):].partition("/")
            run = next((r for r in self.server.journals() if r.id == run_id), None)
            if run is None or what:
                self._send(b"no such run", "text/plain", HTTPStatus.NOT_FOUND)
            else:
                cursor = parse_qs(url.query).get("since", [""])[0]
                lines, cursor, reset, more = run.lines(cursor)
                self._send(lines, "application/x-ndjson; charset=utf-8", headers={
                    "X-Vordaopt-Cursor": cursor, "X-Vordaopt-Reset": "1" if reset else "0",
                    "X-Vordaopt-More": "1" if more else "0"})
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

