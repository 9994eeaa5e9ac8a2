#!/usr/bin/env bash
# Prints the path of a Python 3.12 or newer, or fails with a clear message.
# Tries python3.13, python3.12 and python3 on PATH, then the interpreters that
# pyenv keeps under $(pyenv root)/versions (pyenv's shims answer only for the
# selected version, so a shim that exists may still refuse to run).
set -u
ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }
for name in python3.13 python3.12 python3; do
  if command -v "$name" >/dev/null 2>&1 && ok "$name"; then
    command -v "$name"
    exit 0
  fi
done
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  for exe in $(ls -d "$root"/versions/*/bin/python3 2>/dev/null | sort -rV); do
    if ok "$exe"; then
      echo "$exe"
      exit 0
    fi
  done
fi
echo "error: vordaopt needs Python 3.12 or newer; none was found on PATH or under pyenv." >&2
exit 1
