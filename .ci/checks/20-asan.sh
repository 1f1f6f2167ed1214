#!/usr/bin/env bash
# The whole test suite (32-bit edge ranges, refused command lines, many threads, stopped reader)
# on a build with AddressSanitizer and UndefinedBehaviorSanitizer; any report ends the process
# with a non-zero status and the test that ran it fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-rel-asan

mkdir -p "$build"
cmake --preset asan -B "$build" > "$build/configure.log" || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j 2
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" -j 2 --output-on-failure --no-tests=error
