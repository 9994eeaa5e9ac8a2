import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_examples_pass_mypy_strict_against_the_stubs():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(ROOT / "examples")],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_package_passes_mypy_strict():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(ROOT / "python" / "vordaopt")],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_ship_with_the_package():
    import vordaopt

    package = pathlib.Path(vordaopt.__file__).parent
    assert (package / "_internal.pyi").is_file() and (package / "_engine.pyi").is_file()
    assert (package / "py.typed").is_file()
