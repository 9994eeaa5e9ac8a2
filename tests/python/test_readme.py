"""The Python examples of the README and of docs/ run as pasted."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
BLOCKS = [textwrap.dedent(b) for page in PAGES for b in
          re.findall(r"```python\n(.*?)```", page.read_text(encoding="utf-8"), re.S)]
# The signature of minimize is not an example.
EXAMPLES = [b for b in BLOCKS if not b.startswith("result = vordaopt.minimize(objective, space")]


def needs(block):
    return [m for m in ("sklearn", "ray", "distributed") if re.search(rf"^(from|import) {m}\b", block, re.M)]


@pytest.mark.parametrize("block", [pytest.param(b, id=f"block{i}", marks=[pytest.mark.cluster] if
                                                 {"ray", "distributed"} & set(needs(b)) else [])
                                   for i, b in enumerate(EXAMPLES)])
def test_readme_example_runs_as_pasted(tmp_path, block):
    for module in needs(block):
        pytest.importorskip(module)
    done = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr


def test_every_example_is_found():
    assert len(EXAMPLES) >= 12


def test_the_first_example_prints_what_the_readme_shows(tmp_path):
    pytest.importorskip("sklearn")
    text = README.read_text(encoding="utf-8")
    shown = re.search(r"```text\n(.*?)```", text, re.S)[1]
    done = subprocess.run([sys.executable, "-c", EXAMPLES[0]], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    seconds = re.compile(r" in [0-9.]+ s$", re.M)  # the one figure that depends on the machine
    assert seconds.sub(" in _ s", done.stdout) == seconds.sub(" in _ s", shown)
