#!/usr/bin/env bash
# libFuzzer on the bound parser and the command line, with AddressSanitizer and
# UndefinedBehaviorSanitizer: the committed seeds, then new inputs for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-rel-fuzz
seconds="${FRIENDLY_FUZZ_SECONDS:-30}"

mkdir -p "$build"
cmake --preset fuzz -B "$build" > "$build/configure.log" || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j 2
fuzzer="$build/fuzz/parse_bound_fuzzer"
seeds=fuzz/corpus/parse_bound
ls "$seeds"/* > /dev/null

# New inputs go to a scratch corpus; a failing input is saved in the build folder.
scratch="$build/parse_bound_corpus"
mkdir -p "$scratch"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$build/" "$scratch" "$seeds" 2>&1 | tail -n 8
