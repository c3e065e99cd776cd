#!/usr/bin/env bash
# Builds the modifier-grammar fuzzer and runs it: fuzz/run.sh [RUNS] [libFuzzer flags...]
# RUNS defaults to a short smoke run. The working corpus lives under build/ and grows across
# runs; the seeds in fuzz/seeds/ are copied into it each time and never written to.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-200000}
shift $(($# > 0 ? 1 : 0))
out="$root/build/fuzz"
corpus="$out/corpus"
mkdir -p "$out/corpus" "$out/crashes"
cp "$root"/fuzz/seeds/* "$corpus"/

# -fno-sanitize-recover: a UB report must fail the run, not scroll past.
"${CXX:-clang++}" -std=c++2b -O1 -g -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror \
  -I"$root/src" \
  "$root/fuzz/parse_modifiers_fuzz.cpp" "$root"/src/modifiers/*.cpp \
  -o "$out/parse_modifiers_fuzz"

"$out/parse_modifiers_fuzz" -runs="$runs" -dict="$root/fuzz/parse_modifiers.dict" \
  -artifact_prefix="$out/crashes/" -print_final_stats=1 "$@" "$corpus"
