"""Conditional parameters: a categorical whose choices carry sub-spaces.

    {"kernel": Categorical({"rbf": {"gamma": Real(1e-4, 10, log=True)},
                            "poly": {"degree": Int(2, 5), "gamma": Real(1e-4, 10, log=True)},
                            "linear": {}})}

A parameter of a sub-space is active when its categorical is active and
takes that choice; the objective receives only the active parameters. A
name may appear in several sub-spaces with the same kind (``gamma`` above):
it is then one parameter, active under any of them. Sub-spaces nest.

The search still runs over every parameter, one coordinate each (the
flattened space, in byte-wise order of names); an inactive coordinate is
simply not read.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["Condition", "Tree", "flatten", "sub_spaces"]

#: A parameter's parent and the indices of the parent's choices under which it is active.
Condition = tuple[str, frozenset[int]]


@dataclass(frozen=True, slots=True)
class Tree:
    """A space's parameters, flattened, with what makes each conditional one active."""

    flat: dict[str, Any]
    """Every parameter, from name to kind."""
    top: dict[str, Any]
    """The parameters outside any sub-space, as written (without the nested ones)."""
    conditions: dict[str, tuple[Condition, ...]]
    """For each conditional parameter: it is active when one of these holds."""
    order: tuple[str, ...]
    """The conditional parameters, each after its parents."""


def sub_spaces(kind: Any) -> list[tuple[int, Any, Mapping[str, Any]]]:
    """A conditional categorical's (index, choice, sub-space) for each choice that has one.

    (Only a categorical has choices; space.py imports this module, not the reverse.)
    """
    choices = getattr(kind, "choices", None)
    if not isinstance(choices, Mapping):
        return []
    return [(i, choice, sub) for i, (choice, sub) in enumerate(choices.items()) if sub is not None]


def flatten(params: Mapping[str, Any]) -> Tree:
    """The flattened form of a space written with sub-spaces; the errors name the parameter."""
    flat: dict[str, Any] = {}
    found: dict[str, list[Condition]] = {}

    def visit(mapping: Mapping[str, Any], parent: tuple[str, int] | None, depth: int) -> None:
        if depth > 64:
            raise ValueError("sub-spaces nest more than 64 deep (a space that contains itself?)")
        for name, kind in mapping.items():
            if not isinstance(name, str):
                raise TypeError(f"parameter names must be strings, got {name!r}")
            if not name:
                raise ValueError("parameter names must be non-empty strings")
            if name in flat and flat[name] != kind:
                raise ValueError(f"parameter {name!r} is declared twice with different kinds: "
                                 f"{flat[name]!r} and {kind!r}")
            first_time = name not in flat
            flat[name] = kind
            if parent is not None:
                found.setdefault(name, []).append((parent[0], frozenset([parent[1]])))
            if not first_time:
                continue  # its sub-spaces were visited already
            for index, choice, sub in sub_spaces(kind):
                if not isinstance(sub, Mapping):
                    raise TypeError(f"parameter {name!r}: the sub-space of choice {choice!r} must "
                                    f"be a dict from name to kind (or None), got {sub!r}")
                visit(sub, (name, index), depth + 1)

    visit(params, None, 0)
    # A name both outside and inside a sub-space, with the same kind, is the
    # sub-space's: so that a flat copy of a space (dict(space)) builds it again.
    top = {name: kind for name, kind in params.items() if name not in found}
    conditions = {name: _merged(c) for name, c in found.items()}
    for name, parents in conditions.items():
        for parent, _ in parents:
            if _ancestor(name, parent, conditions):
                raise ValueError(f"parameter {name!r} is its own ancestor through {parent!r}")
    depth: dict[str, int] = {}

    def depth_of(name: str) -> int:
        if name not in depth:
            depth[name] = 1 + max((depth_of(p) for p, _ in conditions.get(name, ())), default=-1)
        return depth[name]

    ranked = sorted(conditions, key=lambda n: (depth_of(n), n))
    return Tree(flat, top, conditions, tuple(ranked))


def _merged(conditions: list[Condition]) -> tuple[Condition, ...]:
    """One condition per parent: the union of the choices that activate."""
    by_parent: dict[str, frozenset[int]] = {}
    for parent, choices in conditions:
        by_parent[parent] = by_parent.get(parent, frozenset()) | choices
    return tuple(sorted(by_parent.items()))


def _ancestor(name: str, of: str, conditions: dict[str, tuple[Condition, ...]]) -> bool:
    seen: set[str] = set()
    stack = [of]
    while stack:
        current = stack.pop()
        if current == name:
            return True
        if current in seen:
            continue
        seen.add(current)
        stack.extend(parent for parent, _ in conditions.get(current, ()))
    return False
