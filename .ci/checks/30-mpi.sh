#!/usr/bin/env bash
# friendlyNumbers_mpi: a build with FRIENDLY_MPI and warnings as errors, then its tests (label
# mpi): 1, 2 and 3 ranks of 1 and 2 threads against friendlyNumbers, edge ranges, the TCP
# transport, refusals and failures, the gather of the lines to rank 0, and its manual page. The
# tests set Open MPI's settings for root, oversubscription and containers themselves
# (tests/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-rel-mpi

mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFRIENDLY_MPI=ON \
  -DFRIENDLY_WARNINGS_AS_ERRORS=ON > "$build/configure.log" ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j 2 --target friendlyNumbers friendlyNumbers_mpi mpi_gather_test
ctest --test-dir "$build" -L mpi --output-on-failure --no-tests=error
