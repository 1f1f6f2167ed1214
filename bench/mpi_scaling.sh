#!/usr/bin/env bash
# Times friendlyNumbers_mpi against friendlyNumbers on this machine, checks that they print the
# same pairs, then times each step on every rank and prints the modelled balance of the deal.
#
#   bench/mpi_scaling.sh [BUILD_DIR]
#
# One Release build with FRIENDLY_MPI and the benchmarks (default build-mpi-bench) holds both
# programs, mpi_phase_times and deal_model. Settings, all optional: HIGH (the range is 1..HIGH,
# default 400000), REPEATS (runs of each setup, default 9; the setups alternate run by run, and
# the tables give the median and the best run), MODEL_HIGH (the model's range, default 10000000),
# OUT (default BUILD_DIR). Every run is kept in OUT/mpi_scaling.csv.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-mpi-bench}
high=${HIGH:-400000}
repeats=${REPEATS:-9}
model_high=${MODEL_HIGH:-10000000}
out=${OUT:-$build}
csv=$out/mpi_scaling.csv

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFRIENDLY_MPI=ON \
  -DFRIENDLY_BUILD_BENCHMARKS=ON -DFRIENDLY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target friendlyNumbers friendlyNumbers_mpi mpi_phase_times \
  deal_model >/dev/null

# Open MPI as root, a third rank on two cores, no binding of a rank to one core, and no
# cross-memory attach (containers lack it).
if [[ $(id -u) == 0 ]]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_btl_vader_single_copy_mechanism=none
mpirun=(mpirun --bind-to none)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds on the time line of one run of SETUP (default, or RANKSxTHREADS); the pair lines are
# checked against the first run of the default program.
run() {
  local setup=$1 command
  if [[ $setup == default ]]; then
    command=(env OMP_NUM_THREADS=2 "$build/friendlyNumbers")
  else
    command=(env OMP_NUM_THREADS="${setup#*x}" "${mpirun[@]}" -n "${setup%x*}"
      "$build/friendlyNumbers_mpi")
  fi
  "${command[@]}" 1 "$high" >"$work/out"
  grep -v '^Tempo' "$work/out" | sort >"$work/pairs"
  [[ -f "$work/expected" ]] || cp "$work/pairs" "$work/expected"
  cmp -s "$work/pairs" "$work/expected" || {
    echo "mpi_scaling.sh: $setup printed other pairs than the default program" >&2
    exit 1
  }
  sed -n 's/^Tempo total \([0-9.]*\) seconds$/\1/p' "$work/out"
}

echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
setups=(default 1x2 2x1)
mkdir -p "$out"
echo "setup,low,high,run,seconds" >"$csv"
for ((r = 1; r <= repeats; r++)); do
  for setup in "${setups[@]}"; do
    seconds=$(run "$setup")
    echo "$setup,1,$high,$r,$seconds" >>"$csv"
    echo "$setup 1..$high run $r: $seconds s"
  done
done

# Medians, best runs and the goals: 2 ranks x 1 thread against 1 rank x 2 threads, and 1 rank x
# 2 threads against the default program with 2 threads. A run that shared a core with another
# process is slow; the best run of each setup did not.
stat() {
  awk -F, -v s="$2" '$1 == s { print $5 }' "$csv" | sort -g | awk -v what="$1" '
    { v[++n] = $1 }
    END { print (what == "best" ? v[1] : n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2) }'
}
echo
echo "| 1..$high | median of $repeats | best |"
echo "|---|---|---|"
declare -A names=([default]="friendlyNumbers, 2 threads"
  [1x2]="friendlyNumbers_mpi, 1 rank x 2 threads" [2x1]="friendlyNumbers_mpi, 2 ranks x 1 thread")
for setup in "${setups[@]}"; do
  echo "| ${names[$setup]} | $(stat median "$setup") s | $(stat best "$setup") s |"
done
for what in median best; do
  awk -v w="$what" -v d="$(stat "$what" default)" -v o="$(stat "$what" 1x2)" \
    -v t="$(stat "$what" 2x1)" 'BEGIN {
    printf "%s: 2 ranks x 1 thread at %.3fx the speed of 1 rank x 2 threads (goal: at least 0.9x);", w, o / t
    printf " 1 rank x 2 threads %+.1f %% against friendlyNumbers, 2 threads (goal: within 5 %%)\n", (o / d - 1) * 100
  }'
done

# Each rank's steps, with 1, 2 and 3 ranks on the two cores (the third rank oversubscribes).
for setup in 1x2 2x1 3x1; do
  echo
  OMP_NUM_THREADS="${setup#*x}" "${mpirun[@]}" -n "${setup%x*}" "$build/bench/mpi_phase_times" \
    1 "$high" "$repeats"
done

# The model: the same range, then a range long enough for a thousand ranks.
echo
"$build/bench/deal_model" 1 "$high"
echo
"$build/bench/deal_model" 1 "$model_high"
