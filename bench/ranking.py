"""Ranks with ties shared, as every benchmark table here reports them."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping


def shared_ranks(scores: Mapping[str, float]) -> dict[str, float]:
    """Each method's rank among `scores` (lower is better; 1 is best), methods
    with equal scores sharing the mean of the places they take."""
    values = list(scores.values())
    return {m: sum(v < mine for v in values) + (sum(v == mine for v in values) + 1) / 2
            for m, mine in scores.items()}


def outcomes(pairs: Iterable[tuple[float, float]], tie: float = 0.0) -> tuple[int, int, int]:
    """Wins, losses and ties of the first score of each pair against the second
    (lower is better; scores within `tie` of each other are a tie)."""
    wins = losses = ties = 0
    for ours, theirs in pairs:
        if abs(ours - theirs) <= tie:
            ties += 1
        elif ours < theirs:
            wins += 1
        else:
            losses += 1
    return wins, losses, ties


def sign_test(wins: int, losses: int) -> float:
    """Two-sided exact sign test: the chance of a split at least this uneven
    between two equally good methods (ties left out)."""
    n = wins + losses
    tail = sum(math.comb(n, i) for i in range(min(wins, losses) + 1))
    return min(1.0, 2 * tail / 2 ** n) if n else 1.0


def p_text(p: float) -> str:
    return "p < 0.001" if p < 0.001 else f"p = {p:.3f}"
