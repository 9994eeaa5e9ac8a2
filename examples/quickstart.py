"""Quickstart: parse a search space and show what the solver understood."""

import json

from vordaopt import VordaSolver

CONFIG = {
    "seed": 42,
    "budget": 60,
    "bounds": {
        "x": {"min": -5.0, "max": 10.0},
        "y": {"min": 0.0, "max": 15.0},
        "lr": {"min": 1e-5, "max": 1e-1, "scale": "Log"},
    },
}


def main():
    text = json.dumps(CONFIG, indent=2)
    VordaSolver(text)
    print("configuration accepted:")
    print(text)
    try:
        VordaSolver('{"seed": 1}')
    except ValueError as err:
        print("a broken configuration is rejected with:", err)


if __name__ == "__main__":
    main()
