import json
import pathlib
import signal

import pytest

VECTORS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "vectors"


def load_vectors():
    """Rows of the shared JSON document vectors as (kind, text, expected)."""
    path = VECTORS / "json_documents.tsv"
    rows = []
    with open(path, encoding="utf-8") as f:
        next(f)
        for line in f:
            kind, literal, expected = line.rstrip("\n").split("\t")
            rows.append((kind, json.loads(literal), expected))
    return rows


@pytest.fixture
def early_hand_over(monkeypatch):
    """Method "auto" hands over from the GP to CMA-ES after 12 trials (small test runs)."""
    from vordaopt.methods import auto

    monkeypatch.setattr(auto, "GP_TRIALS", 12)


@pytest.fixture(scope="session")
def vectors():
    return load_vectors()


def default_signals():
    """For a child process: SIGINT and SIGHUP handled as by a terminal, whatever the
    suite inherited.

    A suite started with them ignored (``nohup make test &``) passes that on
    to its children, and Python then installs no handler of its own (and
    vordaopt, rightly, none for a SIGHUP that nohup ignores).
    """
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)


@pytest.fixture
def ray_runtime():
    """A local Ray runtime of two CPUs whose workers can import the test modules."""
    ray = pytest.importorskip("ray")
    here = str(pathlib.Path(__file__).parent)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False,
             runtime_env={"env_vars": {"PYTHONPATH": here}})
    yield ray
    ray.shutdown()
