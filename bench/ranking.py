"""Ranks with ties shared, as every benchmark table here reports them."""

from __future__ import annotations

from collections.abc import Mapping


def shared_ranks(scores: Mapping[str, float]) -> dict[str, float]:
    """Each method's rank among `scores` (lower is better; 1 is best), methods
    with equal scores sharing the mean of the places they take."""
    values = list(scores.values())
    return {m: sum(v < mine for v in values) + (sum(v == mine for v in values) + 1) / 2
            for m, mine in scores.items()}
