#!/usr/bin/env bash
# The GPU search: a build with FRIENDLY_CUDA and warnings as errors (nvcc's own warnings and the
# host compiler's, in the CUDA code too), then the host tests (labels unit and program, the GPU
# threads' work among them) and the tests of label gpu, which skip, saying why, where no GPU
# runs; then the kernels' resources from ptxas. Skipped, saying why, where nvcc is missing.
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

# The kernels keep their resources on sm_90, from ptxas: at most the registers below, no stack
# frame, no spills, and the shared memory of their tile and the next tile's number (none for the
# ratio kernel). A change that moves the rows held in registers to local memory, or grows the tile,
# fails here.
"$nvcc" -std=c++20 --expt-relaxed-constexpr -arch=sm_90 -O3 -Xcompiler -fopenmp -Isrc \
  -c src/gpu/gpu_search.cu --resource-usage -o "$build/resources.o" > "$build/resources.log" 2>&1 ||
  { cat "$build/resources.log"; exit 1; }
awk '
  BEGIN {
    # kernel and ratio element (mangled: i int32, l int64): registers, shared bytes
    limit["ratio_kernelIi"] = "40 0"; limit["ratio_kernelIl"] = "40 0"
    limit["pair_kernelIi"] = "48 24584"; limit["pair_kernelIl"] = "64 40968"
  }
  /Compiling entry function/ {
    kernel = ""
    for (k in limit) if (index($0, k "EE")) kernel = k
  }
  kernel != "" && /stack frame/ {
    if ($1 != 0 || $5 != 0 || $9 != 0) { print "40-cuda: " kernel ": " $0; bad = 1 }
  }
  kernel != "" && /Used [0-9]+ registers/ {
    split(limit[kernel], want, " ")
    registers = $0; sub(/.*Used /, "", registers); sub(/ registers.*/, "", registers)
    shared = 0
    if (match($0, /[0-9]+ bytes smem/)) shared = substr($0, RSTART, RLENGTH) + 0
    if (registers + 0 > want[1] + 0 || shared != want[2] + 0) {
      print "40-cuda: " kernel ": " registers " registers (at most " want[1] "), " shared \
        " bytes of shared memory (" want[2] ")"; bad = 1
    }
    seen[kernel] = 1
  }
  END {
    for (k in limit) if (!(k in seen)) { print "40-cuda: no ptxas report for " k; bad = 1 }
    exit bad
  }' "$build/resources.log" || { echo "40-cuda: the kernels' resources changed"; exit 1; }
echo "40-cuda: the kernels keep their registers, no stack or spills, and their shared memory"
