#!/usr/bin/env bash
# ThreadSanitizer over the whole test suite, the program's runs with 2, 3, 7, 8 and 64 threads
# included: clang with libomp, and the archer tool telling ThreadSanitizer what OpenMP's barriers
# and joins order. Any report ends the process with a non-zero status and its test fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-rel-tsan

mkdir -p "$build"
cmake --preset tsan -B "$build" > "$build/configure.log" || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j 2

# Archer ships with the OpenMP runtime that the program loads.
runtime=$(ldd "$build/friendlyNumbers" | awk '/libomp/ { print $3; exit }')
archer="$(dirname "${runtime:-/nonexistent}")/libarcher.so"
[[ -f "$archer" ]] || { echo "no archer next to the OpenMP runtime '$runtime'" >&2; exit 1; }
export OMP_TOOL_LIBRARIES="$archer"
export TSAN_OPTIONS=ignore_noninstrumented_modules=1:halt_on_error=1:exitcode=66

# Without the tool, the barrier would be invisible to ThreadSanitizer: make sure it is loaded.
banner=$(ARCHER_OPTIONS=verbose=1 "$build/friendlyNumbers" 1 30)
[[ "$banner" == *"Archer detected OpenMP application with TSan"* ]] ||
  { echo "archer did not start in the ThreadSanitizer build" >&2; exit 1; }

ctest --test-dir "$build" -j 2 --output-on-failure --no-tests=error
