"""The report and the dashboard's server (the page itself is driven in a browser elsewhere)."""

import json
import os
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest

from vordaopt import Categorical, Int, Real, minimize

pytest.importorskip("plotly")
from vordaopt.dashboard import DashboardServer, report_html  # noqa: E402
from vordaopt.journal import JournalError  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>"
SPACE = {"lr": Real(1e-4, 1, log=True), "layers": Int(1, 6),
         HOSTILE: Categorical(["a", "</script><script>alert(2)</script>"])}


def objective(p, trial):
    value = p["lr"] + p["layers"] + (p[HOSTILE] == "a")
    for step in range(1, 4):
        trial.report(value + 1 / step, step)
    if p["layers"] == 6:
        raise RuntimeError("<script>alert(3)</script>")
    return value


@pytest.fixture
def journal(tmp_path):
    path = tmp_path / "run.jsonl"
    minimize(objective, SPACE, 20, seed=1, journal=path, catch=RuntimeError)
    return path


def test_the_report_holds_everything_and_no_journal_text_as_markup(journal, tmp_path):
    page = report_html(journal)
    assert "<script src=" not in page and "<link" not in page  # nothing to fetch
    for text in ("<img src=x", "</script><script>alert(2)", "<script>alert(3)"):
        assert text not in page
    start = page.index('id="vordaopt-data">') + len('id="vordaopt-data">')
    data = json.loads(page[start:page.index("</script>", start)])
    header, *trials = [json.loads(line) for line in data["journal"].splitlines()]
    assert HOSTILE in header["space"] and set(data["importance"]) == set(SPACE)  # as data, intact
    assert [t["number"] for t in trials] == list(range(20)) and trials[0]["reports"]
    out = tmp_path / "report.html"
    done = subprocess.run([sys.executable, "-m", "vordaopt", "report", str(journal), "-o", str(out)],
                          capture_output=True, text=True)
    assert done.returncode == 0 and out.read_text(encoding="utf-8") == page


@pytest.fixture
def server(tmp_path, journal):
    folder = tmp_path / "runs"
    folder.mkdir()
    os.replace(journal, folder / "b.jsonl")
    (folder / "a.jsonl").write_bytes((folder / "b.jsonl").read_bytes().splitlines(True)[0])
    dashboard = DashboardServer(folder, port=0)
    threading.Thread(target=dashboard.serve_forever, daemon=True).start()
    yield dashboard, folder
    dashboard.shutdown()
    dashboard.server_close()


def get(dashboard, path, method="GET"):
    host, port = dashboard.server_address[:2]
    request = urllib.request.Request(f"http://{host}:{port}{path}", method=method)
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.status, response.headers, response.read()


def lines(dashboard, run, cursor=""):
    _, headers, body = get(dashboard, f"/api/run/{run}?since={cursor}")
    assert headers["Content-Type"].startswith("application/x-ndjson")
    return body, headers["X-Vordaopt-Cursor"], headers["X-Vordaopt-Reset"] == "1"


def test_the_server_lists_runs_and_sends_only_new_lines(server):
    dashboard, folder = server
    assert dashboard.server_address[0] == "127.0.0.1"
    runs = json.loads(get(dashboard, "/api/runs")[2])
    assert [r["name"] for r in runs] == ["a.jsonl", "b.jsonl"]
    journal = folder / "b.jsonl"
    first, cursor, reset = lines(dashboard, 1)
    assert reset and first == journal.read_bytes()
    again, cursor, reset = lines(dashboard, 1, cursor)
    assert not reset and again == b""
    # The run goes on in the same file: only its new lines come, never a torn last one.
    minimize(objective, SPACE, 25, seed=1, journal=journal, catch=RuntimeError)
    with journal.open("a") as f:
        f.write('{"number": 25, "sta')
    more, cursor, reset = lines(dashboard, 1, cursor)
    assert not reset and more == journal.read_bytes()[len(first):journal.read_bytes().rindex(b"\n") + 1]
    assert [json.loads(line).get("number") for line in more.splitlines()] == [None, 20, 21, 22, 23, 24]
    # A file replaced by another run: the client starts afresh.
    os.replace(folder / "a.jsonl", journal)
    fresh, cursor, reset = lines(dashboard, 1, cursor)
    assert reset and fresh == journal.read_bytes()


def test_the_server_is_read_only_and_serves_its_page(server):
    dashboard, _ = server
    status, headers, body = get(dashboard, "/")
    assert status == 200 and b'<script src="static/app.js">' in body
    assert "script-src 'self'" in headers["Content-Security-Policy"]
    assert get(dashboard, "/static/plotly.min.js")[2].startswith(b"/**")
    for method in ("POST", "PUT", "DELETE"):
        with pytest.raises(urllib.error.HTTPError) as refused:
            get(dashboard, "/api/runs", method)
        assert refused.value.code == 405
    with pytest.raises(urllib.error.HTTPError) as missing:
        get(dashboard, "/api/run/9")
    assert missing.value.code == 404


def status_for(dashboard, path, host):
    """The status of a GET with the given Host header (None: no header at all)."""
    import http.client

    connection = http.client.HTTPConnection(*dashboard.server_address[:2], timeout=10)
    try:
        connection.putrequest("GET", path, skip_host=True)
        if host is not None:
            connection.putheader("Host", host)
        connection.endheaders()
        return connection.getresponse().status
    finally:
        connection.close()


def test_the_server_answers_only_requests_addressed_to_this_machine(server):
    dashboard, _ = server
    port = dashboard.server_address[1]
    for host in (f"127.0.0.1:{port}", f"localhost:{port}", "LOCALHOST", f"[::1]:{port}",
                 "192.168.1.20"):  # an address names no domain that could be rebound
        assert status_for(dashboard, "/api/runs", host) == 200, host
    for host in ("attacker.example", f"attacker.example:{port}", "localhost.attacker.example",
                 "[::1", None):
        assert status_for(dashboard, "/api/runs", host) == 421, host


def test_the_dashboard_listens_on_ipv6_loopback_and_warns_beyond_loopback(journal):
    six = DashboardServer(journal, host="::1", port=0)
    threading.Thread(target=six.serve_forever, daemon=True).start()
    try:
        with urllib.request.urlopen(f"http://[::1]:{six.server_address[1]}/api/runs",
                                    timeout=10) as response:
            assert [r["name"] for r in json.loads(response.read())] == ["run.jsonl"]
    finally:
        six.shutdown()
        six.server_close()
    wide = subprocess.Popen([sys.executable, "-m", "vordaopt", "dashboard", str(journal),
                             "--host", "0.0.0.0", "--port", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert wide.stdout.readline().startswith("vordaopt dashboard on http://0.0.0.0:")
    finally:
        wide.terminate()
        _, err = wide.communicate(timeout=30)
    assert "warning: listening on 0.0.0.0, beyond this machine" in err


def test_only_regular_files_are_runs_and_bad_cursors_are_refused(server):
    dashboard, folder = server
    (folder / "folder.jsonl").mkdir()
    os.mkfifo(folder / "fifo.jsonl")
    os.symlink("/dev/urandom", folder / "random.jsonl")
    runs = json.loads(get(dashboard, "/api/runs")[2])
    assert [r["name"] for r in runs] == ["a.jsonl", "b.jsonl"]
    _, cursor, _ = lines(dashboard, 1)
    for bad in ("x.%C2%B2", "1" * 5000, "1-2-zz.3", cursor + "0" * 30):
        with pytest.raises(urllib.error.HTTPError) as refused:
            lines(dashboard, 1, bad)
        assert refused.value.code == 400, bad
    # A listed journal turned into a FIFO: a 404 at once, no thread left waiting for a writer.
    os.replace(folder / "fifo.jsonl", folder / "b.jsonl")
    threads = threading.active_count()
    with pytest.raises(urllib.error.HTTPError) as gone:
        lines(dashboard, 1)
    assert gone.value.code == 404 and threading.active_count() <= threads + 1
    with pytest.raises(JournalError, match="neither a journal"):
        DashboardServer(folder / "b.jsonl", port=0)


def test_a_journal_rewritten_in_place_starts_the_page_afresh(server):
    dashboard, folder = server
    journal = folder / "b.jsonl"
    first, cursor, _ = lines(dashboard, 1)
    inode = journal.stat().st_ino
    other = folder / "other.jsonl"
    minimize(objective, SPACE, 30, seed=2, journal=other, catch=RuntimeError)
    subprocess.run(["cp", str(other), str(journal)], check=True)  # cp keeps the inode
    assert journal.stat().st_ino == inode
    fresh, _, reset = lines(dashboard, 1, cursor)
    assert reset and fresh == other.read_bytes()


def test_a_report_never_replaces_a_file_it_did_not_write(journal, tmp_path):
    kept = journal.read_bytes()

    def report(output):
        return subprocess.run([sys.executable, "-m", "vordaopt", "report", str(journal), "-o",
                               str(output)], capture_output=True, text=True)

    refused = report(journal)
    assert refused.returncode == 1 and "its own journal" in refused.stderr
    notes = tmp_path / "notes.html"
    notes.write_text("mine")
    assert report(notes).returncode == 1 and notes.read_text() == "mine"
    assert journal.read_bytes() == kept
    out = tmp_path / "report.html"
    assert report(out).returncode == 0 and report(out).returncode == 0  # its own: replaced
    page = out.read_text(encoding="utf-8")
    assert str(tmp_path) not in page and '"name":"run.jsonl"' in page
    assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.html", "report.html", "run.jsonl"]
