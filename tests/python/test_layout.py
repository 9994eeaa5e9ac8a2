"""The package's shape: no import circle, no class over 400 lines, no module over 600."""

import ast
import pathlib

import vordaopt

PACKAGE = pathlib.Path(vordaopt.__file__).parent
MAX_CLASS_LINES = 400
MAX_MODULE_LINES = 600


def modules():
    """Every module of the package, by dotted name relative to it, with its tree."""
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts = parts[:-1]
        found[".".join(parts)] = (path, ast.parse(path.read_text(encoding="utf-8")))
    return found


def imports_of(name, tree, known):
    """The package's modules that `name` imports, at load or inside a function."""
    package = name.split(".") if (PACKAGE / name.replace(".", "/") / "__init__.py").exists() \
        else name.split(".")[:-1]
    out = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package[:len(package) - node.level + 1] if node.level > 1 else package
            target = ".".join([*base, node.module] if node.module else base)
            for alias in node.names:
                full = f"{target}.{alias.name}" if target else alias.name
                out.add(full if full in known else target)
    return {m for m in out if m in known and m != name}


def assert_no_circle(graph):
    """Depth-first: a module met again while its own imports are being followed closes a circle."""
    open_path, done = [], set()

    def visit(node):
        open_path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt in open_path:
                circle = open_path[open_path.index(nxt):] + [nxt]
                raise AssertionError(f"import circle: {' -> '.join(circle)}")
            if nxt not in done:
                visit(nxt)
        open_path.pop()
        done.add(node)

    for name in sorted(graph):
        if name not in done:
            visit(name)


def test_the_circle_check_finds_a_circle():
    try:
        assert_no_circle({"a": {"b"}, "b": {"c"}, "c": {"a"}})
    except AssertionError as exc:
        assert "a -> b -> c -> a" in str(exc)
    else:
        raise AssertionError("no circle found")


def test_no_import_circle_and_no_oversized_class_or_module():
    found = modules()
    graph = {name: imports_of(name, tree, found) for name, (_, tree) in found.items()}
    # The package's __init__ imports everything to re-export it; a circle
    # that runs through it is not one a module can trip over.
    graph.pop("", None)
    assert_no_circle(graph)
    too_long = []
    for name, (path, tree) in found.items():
        lines = len(path.read_text(encoding="utf-8").splitlines())
        if lines > MAX_MODULE_LINES:
            too_long.append(f"module {name}: {lines} lines")
        for node in ast.walk(tree):
            if isinstance(node, ast.ClassDef) and node.end_lineno - node.lineno + 1 > MAX_CLASS_LINES:
                too_long.append(f"class {name}.{node.name}: {node.end_lineno - node.lineno + 1} lines")
    assert not too_long, too_long
