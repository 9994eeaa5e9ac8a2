"""A command template: the program to run for a trial, with placeholders for its parameters.

``{name}`` in an argument is replaced by the parameter's value; ``{{`` and
``}}`` are braces. Under ``--shell`` the command is one shell text, whose
placeholders become quoted values (or environment variables, inside double
quotes), so that no parameter value is ever read as shell syntax.
"""

from __future__ import annotations

import json
import shlex
from collections.abc import Sequence
from typing import Any

__all__ = ["CommandTemplate", "UsageError", "format_value", "value_variable"]


class UsageError(Exception):
    """A command line or space file that cannot be run (exit status 2)."""


def format_value(value: Any) -> str:
    """The text of a parameter value in a command: floats in their shortest form
    that reads back to the same value, integers as integers, choices as their text."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool) or value is None:
        return json.dumps(value)
    if isinstance(value, float):
        return repr(value)
    return str(value)


def _text_of(params: dict[str, Any], name: str) -> str:
    """A placeholder's text: empty for a conditional parameter the trial leaves inactive."""
    return format_value(params[name]) if name in params else ""


def value_variable(index: int) -> str:
    """The environment variable through which --shell passes parameter `index` (name order)."""
    return f"VORDAOPT_VALUE_{index}"


class _ShellScanner:
    """Tracks the quoting context of a POSIX shell command, character by character.

    Enough of the shell's grammar to know, at each placeholder, whether it
    stands bare (at the top level or inside ``$( )``), inside double quotes,
    or where no variable can reach it (single quotes, backquotes).
    """

    def __init__(self) -> None:
        self._stack: list[list[Any]] = [["bare", 0]]  # context, open parentheses in it
        self._escaped = False
        self._previous = ""

    @property
    def context(self) -> str:
        return str(self._stack[-1][0])

    @property
    def balanced(self) -> bool:
        return len(self._stack) == 1 and not self._escaped

    def feed(self, text: str) -> None:
        for c in text:
            escaped = self._escaped
            self._step(c)
            self._previous = "" if escaped else c

    def _step(self, c: str) -> None:
        frame = self._stack[-1]
        context = frame[0]
        if self._escaped:
            self._escaped = False
            return
        if context == "single":
            if c == "'":
                self._stack.pop()
            return
        if c == "\\":
            self._escaped = True
        elif c == "`":
            if context == "backquote":
                self._stack.pop()
            else:
                self._stack.append(["backquote", 0])
        elif context == "backquote":
            return
        elif c == "(" and self._previous == "$":
            self._stack.append(["bare", 0])
        elif context == "double":
            if c == '"':
                self._stack.pop()
        elif c == "'":
            self._stack.append(["single", 0])
        elif c == '"':
            self._stack.append(["double", 0])
        elif c == "(":
            frame[1] += 1
        elif c == ")":
            if frame[1] > 0:
                frame[1] -= 1
            elif len(self._stack) > 1:
                self._stack.pop()  # the end of a $( ) substitution


class CommandTemplate:
    """A command whose arguments hold ``{name}`` placeholders; ``{{`` and ``}}`` are braces.

    Without a shell each argument is rendered on its own, and a value is never
    more or less than its text. With ``shell=True`` the arguments, joined by
    spaces, are one shell command, and no value ever becomes shell code: each
    placeholder turns into a reference to an environment variable holding the
    value (``"${VORDAOPT_VALUE_0}"``, or ``${VORDAOPT_VALUE_0}`` inside double
    quotes), so that every value reaches the program as one argument,
    unchanged, whatever it holds.

    Raises
    ------
    UsageError
        A placeholder names no parameter, a brace is unmatched, or (with a
        shell) a placeholder stands inside single quotes or backquotes, or the
        command's quotes are unbalanced.
    """

    def __init__(self, argv: Sequence[str], names: Sequence[str], *, shell: bool = False) -> None:
        if not argv:
            raise UsageError("no command given: put it after --, e.g. -- python train.py --lr {lr}")
        self.argv = list(argv)
        self.shell = shell
        self._index = {name: i for i, name in enumerate(names)}
        self._parts = [self._parse(arg, set(names)) for arg in self.argv]
        self.placeholders = {text for parts in self._parts for is_name, text in parts if is_name}
        # With a shell: the quoting context of every placeholder, in order.
        self._contexts: list[str] = self._scan() if shell else []

    @staticmethod
    def _parse(arg: str, names: set[str]) -> list[tuple[bool, str]]:
        """The argument as (is_placeholder, text) pieces."""
        parts: list[tuple[bool, str]] = []
        literal = []
        i = 0
        while i < len(arg):
            c = arg[i]
            if arg.startswith("{{", i) or arg.startswith("}}", i):
                literal.append(c)
                i += 2
            elif c == "{":
                end = arg.find("}", i)
                if end < 0:
                    raise UsageError(f"unmatched '{{' in {arg!r} (write {{{{ for a brace)")
                name = arg[i + 1:end]
                if name not in names:
                    raise UsageError(
                        f"placeholder {{{name}}} in {arg!r} names no parameter; the space has "
                        f"{', '.join(sorted(names))}")
                parts.append((False, "".join(literal)))
                literal = []
                parts.append((True, name))
                i = end + 1
            elif c == "}":
                raise UsageError(f"unmatched '}}' in {arg!r} (write }}}} for a brace)")
            else:
                literal.append(c)
                i += 1
        parts.append((False, "".join(literal)))
        return parts

    def _scan(self) -> list[str]:
        scanner = _ShellScanner()
        contexts = []
        for k, parts in enumerate(self._parts):
            if k:
                scanner.feed(" ")
            for is_name, text in parts:
                if not is_name:
                    scanner.feed(text)
                    continue
                if scanner.context in ("single", "backquote"):
                    where = "single quotes" if scanner.context == "single" else "backquotes"
                    raise UsageError(
                        f"placeholder {{{text}}} stands inside {where}, where the shell cannot "
                        "pass a value safely; write it bare or inside double quotes (vordaopt "
                        "passes each value as one argument), or use $( ) for backquotes")
                contexts.append(scanner.context)
                scanner.feed("x")  # a value is one word
        if not scanner.balanced:
            raise UsageError("the shell command has unbalanced quotes or a trailing backslash")
        return contexts

    def _render(self, params: dict[str, Any], placeholder: Any) -> list[str]:
        out = []
        contexts = iter(self._contexts)
        for parts in self._parts:
            pieces = []
            for is_name, text in parts:
                if is_name:
                    context = next(contexts) if self.shell else ""
                    pieces.append(placeholder(text, _text_of(params, text), context))
                else:
                    pieces.append(text)
            out.append("".join(pieces))
        return out

    def render(self, params: dict[str, Any]) -> list[str]:
        """The command's arguments for these values (with a shell: variable references)."""
        def reference(name: str, value: str, context: str) -> str:
            if not self.shell:
                return value
            variable = "${" + value_variable(self._index[name]) + "}"
            return variable if context == "double" else f'"{variable}"'

        return self._render(params, reference)

    def environment(self, params: dict[str, Any]) -> dict[str, str]:
        """The variables a shell command reads its values from."""
        if not self.shell:
            return {}
        return {value_variable(self._index[name]): _text_of(params, name)
                for name in self.placeholders}

    def command_line(self, params: dict[str, Any]) -> str:
        """A line to paste into a shell that runs the command with these values."""
        if not self.shell:
            return shlex.join(self._render(params, lambda name, value, context: value))

        def quoted(name: str, value: str, context: str) -> str:
            # Inside double quotes: close them, add the value in single quotes, reopen.
            return f'"{shlex.quote(value)}"' if context == "double" else shlex.quote(value)

        return " ".join(self._render(params, quoted))
