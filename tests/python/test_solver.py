import inspect
import json
import subprocess
import sys

import pytest

from vordaopt import VordaSolver

SEED_DOC = (
    "Seed the solver with historical evaluations.\n"
    'Input: JSON array of {"params": {...}, "value": f64, "cost": f64}\n'
    "\n"
    "Use cases:\n"
    "- Warm-starting from previous optimization runs\n"
    "- Streaming/online optimization where external systems generate evaluations"
)


def config(budget=100, ratio=None, bounds=None, seed=42):
    cfg = {"seed": seed, "budget": budget,
           "bounds": bounds if bounds is not None else {"x": [0, 1], "y": [0, 1]}}
    if ratio is not None:
        cfg["probe_ratio"] = ratio
    return json.dumps(cfg)


def smooth(p):
    total = 10.0  # far from zero: a small coefficient of variation
    for v in p.values():
        total += (v - 0.3) * (v - 0.3)
    return total


def chaotic(p):
    x = p.get("x", 0.0)
    return 1000.0 if int(x * 1000) % 7 == 0 else 0.001 * x


def tell(solver, maps, f=smooth):
    start = solver.get_history_len()
    solver.tell(json.dumps([{"eval_id": start + i, "params": m, "value": f(m), "cost": 1.0}
                            for i, m in enumerate(maps)]))


# --- tell, seed, history -------------------------------------------------------

def test_tell_and_seed_grow_the_history():
    s = VordaSolver(config())
    assert s.get_history_len() == 0
    assert s.tell("[]") is None and s.seed("[]") is None
    assert s.get_history_len() == 0
    s.tell('[{"eval_id": 3, "params": {"x": 0.5}, "value": 1.25, "cost": 1}, [1, {"z": 2}, 2.0, 1.0]]')
    assert s.get_history_len() == 2
    s.seed(seed_json='[{"params": {"x": 0.5}, "value": 1.0, "cost": 1.0}]')
    assert s.get_history_len() == 3


@pytest.mark.parametrize(
    "method, prefix, text, message",
    [
        ("tell", "Invalid results: ", "oops", "expected value at line 1 column 1"),
        ("tell", "Invalid results: ", "nope", "expected ident at line 1 column 2"),
        ("tell", "Invalid results: ", '{"eval_id": 1}', "invalid type: map, expected a sequence at line 1 column 0"),
        ("seed", "Invalid seed data: ", '[{"params": {"x": 0.5}, "value": 1.25}]',
         "missing field `cost` at line 1 column 38"),
        ("seed", "Invalid seed data: ", '[{"params": {}, "value": null, "cost": 1}]',
         "invalid type: unit value, expected f64 at line 1 column 29"),
    ],
)
def test_rejected_documents_add_nothing(method, prefix, text, message):
    s = VordaSolver(config())
    s.seed('[{"params": {}, "value": 1, "cost": 1}]')
    with pytest.raises(ValueError) as info:
        getattr(s, method)(text)
    assert info.value.args == (prefix + message,)
    assert s.get_history_len() == 1


def test_every_document_vector_through_the_module(vectors):
    s = VordaSolver(config())
    count = 0
    for kind, text, expected in vectors:
        if kind == "config":
            continue
        method, prefix = (s.tell, "Invalid results: ") if kind == "results" else (s.seed, "Invalid seed data: ")
        before = s.get_history_len()
        if expected.startswith("OK "):
            method(text)
            assert s.get_history_len() == before + len(json.loads(expected[3:]))
        else:
            with pytest.raises(ValueError) as info:
                method(text)
            assert str(info.value) == prefix + expected[4:], text
            assert s.get_history_len() == before
        count += 1
    assert count > 2000


def test_argument_errors():
    s = VordaSolver(config())
    with pytest.raises(TypeError, match="^argument 'results_json': "):
        s.tell(b"[]")
    with pytest.raises(TypeError, match="^argument 'seed_json': "):
        s.seed(None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'results_json'"):
        s.tell()
    with pytest.raises(TypeError):
        s.ask(1)
    with pytest.raises(TypeError):
        s.get_history_len(x=1)
    with pytest.raises(TypeError):
        VordaSolver.ask(object())


def test_signatures_and_docstrings():
    assert str(inspect.signature(VordaSolver)) == "(config_json)"
    for name, sig in [("ask", "(self, /)"), ("tell", "(self, /, results_json)"),
                      ("get_history_len", "(self, /)"), ("seed", "(self, /, seed_json)"),
                      ("ask_one", "(self, /)")]:
        assert str(inspect.signature(getattr(VordaSolver, name))) == sig
    assert VordaSolver.seed.__doc__ == SEED_DOC
    assert VordaSolver.ask_one.__doc__.startswith("Ask for exactly ONE candidate for online/real-time")
    assert VordaSolver.ask_one.__doc__.endswith('"cost": 1.0}]))\n```')
    assert [m for m in vars(VordaSolver) if not m.startswith("__")] == [
        "ask", "tell", "get_history_len", "seed", "ask_one"]


# --- ask ---------------------------------------------------------------------------------

def test_probe_batch_is_handed_out_until_evaluated():
    s = VordaSolver(config(100))
    batch = s.ask()
    assert len(batch) == 20
    assert all(list(m) == ["x", "y"] and all(type(v) is float for v in m.values()) for m in batch)
    assert batch[0] == {"x": 0.0, "y": 0.0} and batch[1] == {"x": 0.5, "y": 0.5}
    batch[0]["x"] = 99.0  # the caller's copy only
    assert s.ask()[0] == {"x": 0.0, "y": 0.0}
    tell(s, batch[:12])
    assert s.ask() == VordaSolver(config(100)).ask()[12:]
    assert len(VordaSolver(config(100, 0.07)).ask()) == 8  # ceil(7.000000000000001)


def test_classification_and_first_candidates_in_one_call(capfd):
    s = VordaSolver(config(100))
    tell(s, s.ask())
    capfd.readouterr()
    first = s.ask()
    out = capfd.readouterr().out
    assert out.startswith("[Machine] Classified as Structured (Score: 0.0")
    assert out.count("\n") == 1
    assert len(first) == 2  # the first coordinate probe pair

    c = VordaSolver(config(100, bounds={"x": [0, 1]}))
    tell(c, c.ask(), chaotic)
    capfd.readouterr()
    one = c.ask()
    lines = capfd.readouterr().out.splitlines()
    assert lines[0].startswith("[Machine] Classified as Chaotic (Score: ")
    assert lines[1] == "[Machine] Chaotic mode -> Enabling CP Shift + Spice"
    assert len(one) == 1


def test_budget_zero_prints_the_lines_and_ends(capfd):
    s = VordaSolver(config(0))
    assert s.ask() is None
    assert capfd.readouterr().out == (
        "[Machine] Classified as Chaotic (Score: 1.0000)\n"
        "[Machine] Chaotic mode -> Enabling CP Shift + Spice\n")
    s.tell('[{"eval_id": 1, "params": {}, "value": 1, "cost": 1}]')
    assert s.ask() is None and s.ask_one() is None
    assert capfd.readouterr().out == ""


def run_structured(budget, until):
    s = VordaSolver(config(budget))
    while s.get_history_len() < until:
        tell(s, s.ask())
    return s


def test_fail_safe_restart(capfd):
    s = run_structured(100, 70)
    h = s.get_history_len()
    capfd.readouterr()
    restart = s.ask()
    assert capfd.readouterr().out == (
        f"[Machine] Structured Fail-Safe Triggered! Restarting with CP Shift at param count {h}\n")
    assert 0 < len(restart) <= 15
    tell(s, restart)
    fresh = s.ask()  # a new Nelder-Mead plans from the whole history
    assert len(fresh) == 2
    assert "Fail-Safe" not in capfd.readouterr().out
    while (maps := s.ask()) is not None:
        tell(s, maps)
    assert "Fail-Safe" not in capfd.readouterr().out  # at most once


def test_fail_safe_threshold_uses_floating_point(capfd):
    # floor(90 * 0.7) = floor(62.99999999999999) = 62, not 63.
    s = VordaSolver(config(90))
    tell(s, s.ask())
    point = {"params": {"x": 0.3, "y": 0.3}, "value": 10.0, "cost": 1.0}
    s.seed(json.dumps([point] * (61 - s.get_history_len())))
    capfd.readouterr()
    assert len(s.ask()) == 2  # 61 records: still refining
    s.seed(json.dumps([point]))
    assert len(s.ask()) <= 15
    assert "Fail-Safe Triggered! Restarting with CP Shift at param count 62\n" in capfd.readouterr().out


def test_no_restart_beyond_the_budget(capfd):
    s = VordaSolver(config(20, 1.0))
    tell(s, s.ask())
    assert s.ask() is None
    assert "Fail-Safe" not in capfd.readouterr().out
    assert s.ask() is None


def test_done_is_final():
    s = VordaSolver(config(30, 0.5))
    while (maps := s.ask()) is not None:
        tell(s, maps)
    assert s.get_history_len() >= 30
    tell(s, [{"x": 0.1, "y": 0.1}])
    assert s.ask() is None
    assert s.get_history_len() >= 31


def test_internal_error_leaves_the_solver_usable():
    s = VordaSolver(config(10, 0.5, bounds={"lr": [1.0, 0.1, "Log"]}))
    with pytest.raises(BaseException) as info:
        s.ask()
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "min > max, or either was NaN. min = 1.0, max = 0.1"
    assert s.get_history_len() == 0
    with pytest.raises(BaseException, match="cannot sample empty range"):
        s.ask_one()


# --- ask_one ---------------------------------------------------------------------------

def test_ask_one_loop_respects_the_budget():
    s = VordaSolver(config(3, bounds={"x": [-1, 1], "lr": [1e-4, 1e-1, "Log"]}))
    seen = []
    while (c := s.ask_one()) is not None:
        assert list(c) == ["lr", "x"] and -1 <= c["x"] <= 1 and 1e-4 <= c["lr"] <= 0.1
        seen.append(c)
        s.seed(json.dumps([{"params": c, "value": c["x"] ** 2, "cost": 1.0}]))
    assert len(seen) == 3 and s.get_history_len() == 3
    assert VordaSolver(config(0)).ask_one() is None


def test_ask_one_repeats_until_a_result_arrives():
    s = VordaSolver(config(100))
    assert s.ask_one() == s.ask_one()
    for _ in range(30):
        c = s.ask_one()
        s.seed(json.dumps([{"params": c, "value": smooth(c), "cost": 1.0}]))
    assert s.ask_one() == s.ask_one()  # model-based now, still a function of the history
    empty = VordaSolver(config(2, bounds={}))
    assert empty.ask_one() == {}
    empty.seed('[{"params": {}, "value": 1, "cost": 1}, {"params": {}, "value": 2, "cost": 1}]')
    assert empty.ask_one() is None


def test_runs_are_identical_across_processes():
    script = f"""
import json
from vordaopt import VordaSolver
s = VordaSolver({config(60, bounds={"x": [-5, 10], "y": [0, 15], "lr": [1e-5, 1, "Log"]})!r})
while (maps := s.ask()) is not None:
    print(maps)
    s.tell(json.dumps([{{"eval_id": 0, "params": m, "value": sum((v - 1) ** 2 for v in m.values()), "cost": 1}} for m in maps]))
o = VordaSolver({config(40)!r})
while (c := o.ask_one()) is not None:
    print(c)
    o.seed(json.dumps([{{"params": c, "value": c["x"] * c["y"], "cost": 1}}]))
"""
    runs = [subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True).stdout for _ in range(2)]
    assert runs[0] == runs[1]
    assert runs[0].count("\n") > 40


def test_diagnostic_lines_keep_their_place_in_piped_output():
    script = (
        "from vordaopt import VordaSolver\n"
        "print('before')\n"
        "VordaSolver('{\"seed\": 1, \"budget\": 0, \"bounds\": {}}').ask()\n"
        "print('after')\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out == ("before\n[Machine] Classified as Chaotic (Score: 1.0000)\n"
                   "[Machine] Chaotic mode -> Enabling CP Shift + Spice\nafter\n")
