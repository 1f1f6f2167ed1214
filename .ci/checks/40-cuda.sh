#!/usr/bin/env bash
# The GPU search: a build with FRIENDLY_CUDA and warnings as errors (nvcc's own warnings and the
# host compiler's, in the CUDA code too), then the host tests (labels unit and program, the GPU
# threads' work among them) and the tests of label gpu, which skip, saying why, where no GPU
# runs. Skipped, saying why, where nvcc is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-rel-cuda
nvcc=${CUDACXX:-/usr/local/cuda/bin/nvcc}

if [[ ! -x "$nvcc" ]]; then
  echo "40-cuda: skipped: no CUDA compiler at $nvcc (set CUDACXX to use another)"
  exit 0
fi

mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFRIENDLY_CUDA=ON \
  -DCMAKE_CUDA_COMPILER="$nvcc" -DFRIENDLY_WARNINGS_AS_ERRORS=ON > "$build/configure.log" ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j 2 --target friendlyNumbers core_tests work_count_tests program_tests \
  gpu_tests
ctest --test-dir "$build" -L 'unit|program|gpu' -j 2 --output-on-failure --no-tests=error
