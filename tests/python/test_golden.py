"""Every method's trials, and what it is told, stay those of the golden runs.

The files under tests/data/golden pin the bytes of each case's journal and
the results its engines were told (see the script there). A change that
moves them on purpose regenerates them with that script and says why.
"""

import importlib.util
import pathlib

GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data" / "golden"


def _generator():
    spec = importlib.util.spec_from_file_location("golden_generate", GOLDEN / "generate.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_every_golden_run_is_reproduced_byte_for_byte():
    produced = _generator().produce()
    stored = {p.name for p in GOLDEN.glob("*.golden")}
    assert stored == set(produced), "cases without files, or files without cases"
    differ = sorted(name for name, data in produced.items()
                    if (GOLDEN / name).read_bytes() != data)
    assert not differ, f"runs that moved: {differ}"
