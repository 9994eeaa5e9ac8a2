"""Type stubs for the extension module vordaopt._internal."""

from typing import final

__all__ = ["VordaSolver", "VordaProbe"]

@final
class VordaSolver:
    """A black-box minimiser driven by ask/tell (batch) or ask_one/seed (online)."""

    def __new__(cls, config_json: str) -> "VordaSolver": ...
    def ask(self) -> list[dict[str, float]] | None:
        """The next candidates to evaluate, or None when there is nothing to propose."""
    def tell(self, results_json: str) -> None:
        """Report results: a JSON array of {eval_id, params, value, cost} records."""
    def get_history_len(self) -> int: ...
    def seed(self, seed_json: str) -> None:
        """Seed the solver with historical evaluations."""
    def ask_one(self) -> dict[str, float] | None:
        """Ask for exactly ONE candidate for online/real-time optimization."""

@final
class VordaProbe:
    """The probe's stateless low-discrepancy sequence, for sharded sampling."""

    def __new__(cls, config_json: str, seed: int = 42) -> "VordaProbe": ...
    def sample_at(self, index: int) -> dict[str, float]:
        """Generate a single pure LDS point at the given global index (Stateless)"""
    def sample_range(self, start: int, count: int) -> list[dict[str, float]]:
        """Generate a range of pure LDS points [start, start+count) (Stateless)"""
