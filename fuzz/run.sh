#!/usr/bin/env bash
# Builds a fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer, LeakSanitizer) and runs it.
# Usage: fuzz/run.sh [SECONDS] [TARGET]   TARGET: json_documents (default) or solver
# Needs clang and libclang-rt from Debian's packages (installed when root).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
target=${2:-json_documents}
if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
  else
    echo "error: clang++ is missing; install clang and libclang-rt-14-dev" >&2
    exit 1
  fi
fi
out=build/fuzz
corpus=fuzz/corpus/$target
mkdir -p "$out" "$corpus"
srcs=(core/src/*.cc core/src/json/*.cc core/src/strategies/*.cc)
clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -Icore/src "${srcs[@]}" "fuzz/${target}_fuzz.cc" \
  -o "$out/${target}_fuzz"
if [ "$target" = json_documents ]; then
  # Seed the corpus with a few valid documents.
  printf '%s' '{"seed": 1, "budget": 10, "bounds": {"x": {"min": 0, "max": 1, "scale": {"Log": null}}}, "probe_ratio": 0.5, "strategy_params": {"a": 1e5}}' > "$corpus/config.json"
  printf '%s' '[{"eval_id": 3, "params": {"x": 0.5, "y\u00e9": -1e-3}, "value": 1.25, "cost": 1, "extra": [1, {"a": [true, null]}]}]' > "$corpus/results.json"
  printf '%s' '[[{"x": 1}, 2, 3], {"params": {}, "value": -0, "cost": 1E+2}]' > "$corpus/seed.json"
fi
"$out/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=4096 \
  -close_fd_mask=1 -print_final_stats=1 "$corpus"
