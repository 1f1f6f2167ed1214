#!/usr/bin/env bash
# Times the sieve method (--method=sieve) of friendlyNumbers with all threads against
# friendlyNumbers_mpi with one thread per rank on 1..HIGH, the setups alternating run by run, and
# checks that both print the same lines. Wall and CPU time per run (CPU time is the figure to
# compare on a machine that other work loads), then the medians, under the processor's lscpu
# family and model.
#
#   bench/sieve_method.sh [BUILD_DIR]
#
# One Release build with FRIENDLY_MPI (default build-sieve-bench; build-rel-mpi of the MPI check
# serves too), of which it builds the two programs. Settings, all optional: HIGH
# (default 100000000), REPEATS (runs of each setup, default 3), RANKS (default 2). The lines go to
# a temporary directory, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-sieve-bench}
high=${HIGH:-100000000}
repeats=${REPEATS:-3}
ranks=${RANKS:-2}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFRIENDLY_MPI=ON >/dev/null
cmake --build "$build" -j 2 --target friendlyNumbers friendlyNumbers_mpi >/dev/null

# Open MPI as root, no binding of a rank to one core, no cross-memory attach (containers).
if [[ $(id -u) == 0 ]]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi
export OMPI_MCA_btl_vader_single_copy_mechanism=none OMPI_MCA_rmaps_base_oversubscribe=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
threads=$(nproc)
echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), family $(lscpu |
  sed -n 's/^CPU family: *//p') model $(lscpu | sed -n 's/^Model: *//p'), $threads cores"

# Runs SETUP's command once: wall and CPU seconds appended to $work/SETUP, the lines to
# $work/SETUP.out.
run() {
  local setup=$1
  shift
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >"$work/$setup.out"
  read -r wall user system <"$work/time"
  echo "$wall $(awk -v u="$user" -v s="$system" 'BEGIN {printf "%.2f", u + s}')" >>"$work/$setup"
  echo "$setup: $wall s wall, $(tail -n 1 "$work/$setup" | cut -d' ' -f2) s CPU"
}

for ((k = 0; k < repeats; ++k)); do
  OMP_NUM_THREADS=$threads run process "$build/friendlyNumbers" --method=sieve 1 "$high"
  OMP_NUM_THREADS=1 run ranks mpirun --bind-to none -n "$ranks" "$build/friendlyNumbers_mpi" \
    --method=sieve 1 "$high"
  cmp -s <(head -n -1 "$work/process.out") <(head -n -1 "$work/ranks.out") ||
    { echo "the lines differ" >&2; exit 1; }
done
echo "lines: $(($(wc -l <"$work/process.out") - 1)) pairs, the same in both"

# The median of column COLUMN of SETUP's runs.
median() { sort -n -k"$2" "$work/$1" | awk -v c="$2" '{v[NR] = $c} END {print v[int((NR + 1) / 2)]}'; }
for setup in process ranks; do
  echo "$setup median: $(median "$setup" 1) s wall, $(median "$setup" 2) s CPU"
done
