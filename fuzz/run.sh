#!/usr/bin/env bash
# Builds the reader's fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it. Usage: fuzz/run.sh [SECONDS]
# Needs clang and libclang-rt from Debian's packages (installed when root).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
  else
    echo "error: clang++ is missing; install clang and libclang-rt-14-dev" >&2
    exit 1
  fi
fi
out=build/fuzz
mkdir -p "$out" fuzz/corpus
srcs=(core/src/*.cc core/src/json/*.cc core/src/strategies/*.cc)
clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -Icore/src "${srcs[@]}" fuzz/json_documents_fuzz.cc \
  -o "$out/json_documents_fuzz"
# Seed the corpus with a few valid documents.
printf '%s' '{"seed": 1, "budget": 10, "bounds": {"x": {"min": 0, "max": 1, "scale": {"Log": null}}}, "probe_ratio": 0.5, "strategy_params": {"a": 1e5}}' > fuzz/corpus/config.json
printf '%s' '[{"eval_id": 3, "params": {"x": 0.5, "y\u00e9": -1e-3}, "value": 1.25, "cost": 1, "extra": [1, {"a": [true, null]}]}]' > fuzz/corpus/results.json
printf '%s' '[[{"x": 1}, 2, 3], {"params": {}, "value": -0, "cost": 1E+2}]' > fuzz/corpus/seed.json
"$out/json_documents_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 fuzz/corpus
