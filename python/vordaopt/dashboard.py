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

import contextlib
import html
import ipaddress
import json
import os
import pathlib
import re
import socket
import sys
import tempfile
import zlib
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

from .importances import importance
from .journal import JournalError, open_regular, read_journal, trial_from_record
from .results import Result
from .space_json import space_from_json

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


_PAGE_START = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>"


def _page(title: str, body_scripts: str) -> str:
    return (
        f"{_PAGE_START}{html.escape(title)}</title>"
        f"<style>{(ASSETS / 'app.css').read_text(encoding='utf-8')}</style></head><body>"
        "<header><h1>vordaopt</h1><nav id=\"runs\">loading the runs…</nav></header><main>"
        "<section id=\"summary\"><p class=\"missing\">loading the run…</p></section>"
        # First what a run's progress is read from (cheap to draw, so the first
        # screen comes fast), then where the trials lie, drawn when scrolled to.
        "<section class=\"plots\"><div class=\"plot\" id=\"convergence\"></div>"
        "<div class=\"plot\" id=\"importance\"></div></section>"
        "<section class=\"plots\" id=\"several\" hidden><div class=\"plot\" id=\"front\"></div>"
        "<div class=\"plot\" id=\"hypervolume\"></div></section>"
        "<section><input id=\"filter\" type=\"search\" placeholder=\"filter the trials\">"
        "<div id=\"table\"><div id=\"table-head\"></div><div id=\"table-body\">"
        "<div id=\"table-spacer\"></div><div id=\"table-rows\"></div></div></div></section>"
        "<section class=\"plots\"><div class=\"plot\" id=\"intermediate\"></div>"
        "<div class=\"plot\" id=\"parallel\"></div></section>"
        "<section><div class=\"plot\" id=\"slices\"></div></section>"
        f"</main>{body_scripts}</body></html>\n")


# What the page reads of a trial's line: a report carries only these.
_PAGE_FIELDS = ("number", "state", "value", "params", "error", "reports", "metrics")


def report_html(path: str | os.PathLike[str]) -> str:
    """The report of a journal: one HTML page with every view, the data and the code inside."""
    header, records = read_journal(path)
    lines = [json.dumps(header, separators=(",", ":"))]
    lines += [json.dumps({k: r[k] for k in _PAGE_FIELDS if k in r}, separators=(",", ":"))
              for r in records]
    # The file's name only: a report is made to be passed on, its folders are nobody's business.
    name = os.path.basename(os.fspath(path))
    data = {"run": {"id": "0", "path": name, "name": name},
            "journal": "\n".join(lines) + "\n", "importance": _importance(header, records)}
    bundle = _plotly_bundle().decode("utf-8")
    scripts = (f"<script>{bundle}</script>"
               f"<script type=\"application/json\" id=\"vordaopt-data\">{_json_for_script(data)}</script>"
               f"<script>{(ASSETS / 'reader.js').read_text(encoding='utf-8')}</script>"
               f"<script>{(ASSETS / 'app.js').read_text(encoding='utf-8')}</script>")
    return _page(_REPORT_TITLE + name, scripts)


_REPORT_TITLE = "vordaopt report: "
# How every report this module writes begins; only such a file is ever replaced.
_REPORT_START = (_PAGE_START + _REPORT_TITLE).encode()


def _check_output(journal: str | os.PathLike[str], output: str | os.PathLike[str]) -> None:
    """Refuses to write over the journal, or over any file that is not an earlier report."""
    try:
        fd = open_regular(output)
    except FileNotFoundError:
        return
    except JournalError:
        raise ReportError(f"will not write the report to {os.fspath(output)}: it is not a "
                          "regular file") from None
    with os.fdopen(fd, "rb") as f:
        try:
            same = os.path.samefile(journal, output)
        except OSError:
            same = False
        if same:
            raise ReportError(f"will not write the report over its own journal "
                              f"{os.fspath(output)}: name another file with -o")
        start = f.read(len(_REPORT_START))
        if start and start != _REPORT_START:
            raise ReportError(f"will not replace {os.fspath(output)}: it is not a report "
                              "written by vordaopt (remove it first, or name another file)")


class ReportError(OSError):
    """The report's file cannot be written without destroying another file."""


def write_report(journal: str | os.PathLike[str], output: str | os.PathLike[str]) -> None:
    """Writes the report of `journal` to `output` (see :func:`report_html`).

    An existing `output` is replaced only when it is a report written by
    this function; the journal itself, or any other file, is never replaced.
    The report is written whole to a file beside `output`, then renamed.
    """
    _check_output(journal, output)
    text = report_html(journal).encode("utf-8")
    target = os.fspath(output)
    folder = os.path.dirname(os.path.abspath(target))
    fd, scratch = tempfile.mkstemp(prefix=".vordaopt-report-", suffix=".html", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(text)
        os.chmod(scratch, 0o644)
        _check_output(journal, output)  # in case the journal moved there meanwhile
        os.replace(scratch, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(scratch)
        raise


# A cursor: the file's device and inode, a checksum of what was read, and the offset read up to.
_CURSOR = re.compile(r"([0-9]{1,20}-[0-9]{1,20}-[0-9a-f]{8})\.([0-9]{1,19})")
# Bytes of the file a cursor's checksum covers: its first line, and what lies just before the offset.
_SUMMED_HEAD = 4096
_SUMMED_TAIL = 256


class BadCursor(ValueError):
    """A cursor this server did not hand out."""


class _Run:
    """One journal the server follows, sending the page its lines."""

    def __init__(self, run_id: str, path: str) -> None:
        self.id, self.path = run_id, path

    def lines(self, cursor: str) -> tuple[bytes, str, bool, bool]:
        """The lines a client holding `cursor` lacks: (lines, next cursor, reset, more to come).

        A cursor names the file (device and inode), a checksum of its start
        and of the bytes before the offset, and the offset read up to: a
        replaced, cut or rewritten file (``cp other.jsonl followed.jsonl``
        keeps the inode) starts the client afresh.

        Raises
        ------
        BadCursor
            `cursor` is neither empty nor one this server hands out.
        JournalError
            The path is no longer a regular file.
        """
        held_offset = 0
        held = ""
        if cursor:
            match = _CURSOR.fullmatch(cursor)
            if match is None:
                raise BadCursor(f"not a cursor: {cursor[:40]!r}")
            held, held_offset = match[1], int(match[2])
        try:
            fd = open_regular(self.path)
        except FileNotFoundError:
            return b"", "", cursor != "", False
        except OSError as exc:
            raise JournalError(f"cannot read the journal: {exc.strerror or exc}") from None
        with os.fdopen(fd, "rb") as f:
            info = os.fstat(f.fileno())
            size, identity = info.st_size, f"{info.st_dev}-{info.st_ino}"
            reset = held_offset > size or held != f"{identity}-{_checksum(f, held_offset):08x}"
            offset = 0 if reset else held_offset
            f.seek(offset)
            data = f.read(READ_LIMIT)
            end = offset + data.rfind(b"\n") + 1  # a last line without its line feed is still being written
            data = data[:end - offset]
            next_cursor = f"{identity}-{_checksum(f, end):08x}.{end}"
        # More: the read stopped at its limit (a line longer than the limit is never sent).
        return data, next_cursor, reset, bool(data) and offset + READ_LIMIT < size


def _checksum(f: Any, offset: int) -> int:
    """The checksum of the file's first line and of the bytes just before `offset`."""
    f.seek(0)
    head = f.read(min(offset, _SUMMED_HEAD))
    head = head[:head.find(b"\n") + 1] or head
    start = max(offset - _SUMMED_TAIL, 0)
    f.seek(start)
    return zlib.crc32(f.read(offset - start), zlib.crc32(head))


def _is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


class DashboardServer(ThreadingHTTPServer):
    """Serves the page, its assets and the runs of `path` (a journal or a folder of them).

    Requests are answered only when they name this server in their Host
    header by an address, by ``localhost``, or by the host it was told to
    listen on: a web page whose domain was made to resolve to this machine
    (DNS rebinding) names its own domain there and gets nothing.
    """

    daemon_threads = True

    def __init__(self, path: str | os.PathLike[str], host: str = "127.0.0.1", port: int = 8050) -> None:
        self.root = pathlib.Path(path)
        if not self.root.exists():
            raise FileNotFoundError(f"no journal or folder {self.root}")
        if not (self.root.is_dir() or self.root.is_file()):
            raise JournalError(f"{self.root} is neither a journal (a regular file) nor a folder")
        self.bundle = _plotly_bundle()
        self.runs: dict[str, _Run] = {}
        self.address_family = (socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.host_names = {"localhost", host.strip("[]").lower()}
        if host in ("", "0.0.0.0", "::"):
            self.host_names |= {socket.gethostname().lower(), socket.getfqdn().lower()}
        super().__init__((host.strip("[]"), port), _Handler)

    def accepts_host(self, header: str | None) -> bool:
        """Whether a request's Host header names this server (see the class)."""
        if not header:
            return False
        name = header.strip().lower()
        if name.startswith("["):  # [v6 address] or [v6 address]:port
            name, bracket, _ = name[1:].partition("]")
            if not bracket:
                return False
        elif name.count(":") == 1:
            name = name.partition(":")[0]
        try:
            ipaddress.ip_address(name)
            return True  # an address: no domain was rebound
        except ValueError:
            return name in self.host_names

    def journals(self) -> list[_Run]:
        """The runs to list: the journal, or the folder's *.jsonl regular files by name."""
        paths = [self.root] if not self.root.is_dir() else sorted(
            p for p in self.root.glob("*.jsonl") if p.is_file())
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
        if not self.server.accepts_host(self.headers.get("Host")):
            self._send(b"this dashboard answers only requests addressed to this machine",
                       "text/plain", HTTPStatus.MISDIRECTED_REQUEST)
            return
        url = urlsplit(self.path)
        if url.path == "/":
            # Plotly's bundle is not here: the page runs it once its first screen is drawn.
            scripts = ("<script src=\"static/sketch.js\"></script>"
                       "<script src=\"static/reader.js\"></script>"
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
                return
            try:
                lines, cursor, reset, more = run.lines(parse_qs(url.query).get("since", [""])[0])
            except BadCursor as exc:
                self._send(str(exc).encode(), "text/plain; charset=utf-8", HTTPStatus.BAD_REQUEST)
            except JournalError as exc:
                self._send(str(exc).encode(), "text/plain; charset=utf-8", HTTPStatus.NOT_FOUND)
            else:
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
        host_name, port_number = str(server.server_address[0]), server.server_address[1]
        if not _is_loopback(host_name):
            print(f"vordaopt: warning: listening on {host_name}, beyond this machine: anyone who "
                  "can reach it reads every journal served", file=sys.stderr, flush=True)
        shown = f"[{host_name}]" if ":" in host_name else host_name
        print(f"vordaopt dashboard on http://{shown}:{port_number}/ (Ctrl-C to stop)",
              flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass

