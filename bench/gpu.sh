#!/usr/bin/env bash
# The GPU against the CPU on one machine, from a CUDA build made beforehand: prints nvidia-smi and
# the CUDA driver and runtime versions, runs the GPU tests with FRIENDLY_REQUIRE_GPU=1 (a test
# that finds no GPU fails), checks that the GPU prints the CPU path's pair lines, times the whole
# program on the GPU and on the CPU's threads, and writes gpu.csv and gpu.png (gnuplot, Debian
# package gnuplot-nox) under OUT (default CUDA_BUILD_DIR/gpu-results). It stops at the first
# failure, its log in gpu-logs/ beside the CSV. Meant to take under six minutes on a GPU machine
# with 16 cores.
#
#   bench/gpu.sh [CUDA_BUILD_DIR]      (default build-rel-cuda, as .ci/checks/40-cuda.sh makes it)
#
# Build first, with the tests:
#   cmake -S . -B build-rel-cuda -G Ninja -DCMAKE_BUILD_TYPE=Release -DFRIENDLY_CUDA=ON
#   cmake --build build-rel-cuda --target friendlyNumbers gpu_tests
# Settings, all optional: DRY_RUN=1 runs without a GPU (FRIENDLY_REQUIRE_GPU left unset): the GPU
# tests (which skip), then the CPU half on small ranges, writing into a temporary directory
# unless OUT is set, and says what it left out. CPU_THREADS (default 16): the CPU's team for the
# large ranges. BUDGET (seconds, default 330): the CPU's 1..10^7 runs only when the time so far
# and its estimate fit.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-rel-cuda}
program=$build/friendlyNumbers
dry=${DRY_RUN:-0}
cpu_threads=${CPU_THREADS:-16}
budget=${BUDGET:-330}
start=$SECONDS

say() { echo "gpu.sh: $*"; }
logs=
work=
# Stops the script: the message, and the files of the step that failed kept under $logs.
fail() {
  if [[ -n $logs && -n $work ]]; then
    cp -r "$work"/. "$logs"/ 2>/dev/null || true
    echo "gpu.sh: $* (logs in $logs)" >&2
  else
    echo "gpu.sh: $*" >&2
  fi
  exit 1
}

[[ -x "$program" ]] || fail "no program at $program: build it first (see the top of this script)"
[[ -x "$build/tests/gpu_tests" ]] || fail "no $build/tests/gpu_tests: build the target gpu_tests"

if [[ $dry == 1 ]]; then
  out_dir=${OUT:-$(mktemp -d)}
  cpu_highs=(20000)
  cpu_teams=(1 2)
  cpu_threads=${CPU_THREADS:-2}
  large_highs=(50000 100000)
  gpu_highs=()
  windows=()
else
  out_dir=${OUT:-$build/gpu-results}
  cpu_highs=(400000)
  cpu_teams=(1 2 4 8 16)
  large_highs=(1000000 10000000)
  gpu_highs=(100000 1000000 10000000)
  # Windows of 3001 numbers near 2^24, across 190,000,000 (the last bound of 32-bit ratios) and
  # at the top of the range, 2^31 - 1.
  windows=("16775715 16778715" "189998500 190001500" "2147480646 2147483647")
fi
csv=$out_dir/gpu.csv
plot=$out_dir/gpu.png
logs=$out_dir/gpu-logs
rm -rf "$logs"
mkdir -p "$logs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
((dry)) || export FRIENDLY_REQUIRE_GPU=1

# 0. The machine: nvidia-smi, then the driver and runtime versions that the program sees.
if command -v nvidia-smi >/dev/null; then
  nvidia-smi 2>&1 | tee "$logs/nvidia-smi.log" || say "nvidia-smi failed"
else
  say "no nvidia-smi on this machine"
fi
"$build/tests/gpu_tests" --gtest_filter='GpuSetup.*' --gtest_brief=1 >"$logs/versions.log" 2>&1 ||
  { cat "$logs/versions.log"; fail "the GPU setup test failed"; }
sed -n 's/^GPU versions: /gpu.sh: /p' "$logs/versions.log"

# Is there a GPU? The program refuses the path gpu in one line where there is none.
gpu=1
if ! reason=$(FRIENDLY_KERNELS=gpu "$program" 1 1 2>&1 >/dev/null); then
  gpu=0
  say "no GPU: ${reason#friendlyNumbers: }"
  [[ $dry == 1 ]] || fail "nothing to measure without a GPU (DRY_RUN=1 runs the CPU half)"
fi

# 1. The GPU tests: pairs against the CPU path, the kernels' work counts, a short pair buffer,
# the program on the GPU. They skip, saying why, where no GPU runs, and fail there unless DRY_RUN.
say "GPU tests"
FRIENDLY_PROGRAM=$program "$build/tests/gpu_tests" --gtest_brief=1 >"$logs/gpu_tests.log" 2>&1 ||
  { tail -40 "$logs/gpu_tests.log"; fail "the GPU tests failed"; }
tail -3 "$logs/gpu_tests.log"

# The value of key in the one-line JSON report in file (numbers and strings alike).
field() {
  sed -n 's/.*"'"$1"'":\("\([^"]*\)"\|\([^,}]*\)\).*/\2\3/p' "$2"
}

# One run of the program with the given path and team on low..high: its pair lines in
# $work/lines and its report in $work/report.
run() {
  local path=$1 team=$2 low=$3 high=$4
  FRIENDLY_KERNELS=$path OMP_NUM_THREADS=$team "$program" --report=json "$low" "$high" \
    >"$work/lines" 2>"$work/report" || fail "$path on $low..$high failed: $(cat "$work/report")"
  grep -v '^Tempo total' "$work/lines" >"$work/pairs" || true
}

# 2. The GPU prints the CPU path's lines, in row then column order.
# The widest CPU path: the last of the program's list before the GPU.
cpu_path=$("$program" --list-paths | grep -vx gpu | tail -n 1)
[[ -n $cpu_path ]] || fail "cannot tell the widest CPU path from the program's --list-paths"
if ((gpu)); then
  for window in "1 200000" "${windows[@]}"; do
    read -r low high <<<"$window"
    run "$cpu_path" "$cpu_threads" "$low" "$high"
    sort -n -k1,1 -k3,3 "$work/pairs" >"$work/cpu"
    run gpu 1 "$low" "$high"
    cmp -s "$work/pairs" "$work/cpu" ||
      fail "the GPU's lines for $low..$high differ from the $cpu_path path's (sorted)"
    say "$low..$high: the GPU prints the $cpu_path path's $(wc -l <"$work/cpu") lines, in order"
  done
else
  say "left out without a GPU: the GPU's lines against the CPU's on 1..200000 and windows"
fi

# 3. Timings: every run's report as one CSV row.
echo "path,device,threads,low,high,seconds,ratio_seconds,pair_seconds,candidate_tests,comparisons,tests_per_second,comparisons_per_second,pairs,checksum" >"$csv"
record() {
  local r=$work/report device
  device=$(field device "$r")
  echo "$(field path "$r"),${device:-$(field processor "$r")},$(field threads "$r"),$(field low "$r"),$(field high "$r"),$(field seconds "$r"),$(field ratio_seconds "$r"),$(field pair_seconds "$r"),$(field candidate_tests "$r"),$(field comparisons "$r"),$(field tests_per_second "$r"),$(field comparisons_per_second "$r"),$(field pairs "$r"),$(field checksum "$r")" >>"$csv"
  say "$(field path "$r") threads=$(field threads "$r") 1..$(field high "$r"): $(field seconds "$r") s"
}

# The GPU on each range, twice (the first run of a range also warms the device's clocks).
for high in "${gpu_highs[@]}"; do
  for _ in 1 2; do
    run gpu 1 1 "$high"
    record
    cp "$work/report" "$work/gpu-$high"
  done
done
((gpu)) || say "left out without a GPU: the GPU's timings"

# The CPU's teams on the mid-size range, then its full team on the large ones.
for high in "${cpu_highs[@]}"; do
  for team in "${cpu_teams[@]}"; do
    run "$cpu_path" "$team" 1 "$high"
    record
  done
done
previous=0
previous_high=0
for high in "${large_highs[@]}"; do
  # The pair phase grows with the square of the length: the estimate scales the last time so.
  if ((previous_high > 0)); then
    estimate=$(awk -v t="$previous" -v a="$previous_high" -v b="$high" \
      'BEGIN { printf "%d", t * (b / a) * (b / a) + 1 }')
    if ((SECONDS - start + estimate > budget)); then
      say "left out: the $cpu_path path on 1..$high (about $estimate s; $((SECONDS - start)) s spent of $budget)"
      continue
    fi
  fi
  run "$cpu_path" "$cpu_threads" 1 "$high"
  record
  previous=$(field seconds "$work/report")
  previous_high=$high
  # Same answer as the GPU's.
  if [[ -f "$work/gpu-$high" ]]; then
    [[ $(field pairs "$work/report") == "$(field pairs "$work/gpu-$high")" &&
      $(field checksum "$work/report") == "$(field checksum "$work/gpu-$high")" ]] ||
      fail "the GPU and the CPU disagree on 1..$high (pairs and checksum)"
  fi
done

# 4. The plot: seconds against HIGH, the GPU and the CPU's full team, and the CPU's teams.
if command -v gnuplot >/dev/null; then
  awk -F, -v t="$cpu_threads" 'NR > 1 && $1 == "gpu" { print $5, $6 > "'"$work"'/gpu.dat" }
    NR > 1 && $1 != "gpu" && $3 == t { print $5, $6 > "'"$work"'/cpu.dat" }' "$csv"
  series=()
  [[ -s $work/gpu.dat ]] && series+=("'$work/gpu.dat' using 1:2 with points pt 7 title 'GPU'")
  [[ -s $work/cpu.dat ]] &&
    series+=("'$work/cpu.dat' using 1:2 with points pt 5 title '$cpu_path, $cpu_threads threads'")
  gnuplot <<EOF
set terminal pngcairo size 900,560 font ",11"
set output '$plot'
set title 'friendlyNumbers 1 HIGH: each run'
set xlabel 'HIGH (log scale)'
set ylabel 'seconds (log scale)'
set logscale xy
set key top left
set grid
plot $(IFS=,; echo "${series[*]}")
EOF
else
  say "left out: the plot (gnuplot is missing: apt-get install gnuplot-nox)"
fi

# 5. Summary: the GPU against the CPU's full team on each range both ran.
echo
echo "| range | GPU, s | $cpu_path $cpu_threads threads, s | GPU vs CPU | GPU tests/s | GPU comparisons/s |"
echo "|---|---|---|---|---|---|"
awk -F, -v t="$cpu_threads" 'NR > 1 && $1 == "gpu" { g[$5] = $6; tr[$5] = $11; cr[$5] = $12 }
  NR > 1 && $1 != "gpu" && $3 == t { c[$5] = $6 }
  END { for (h in g) if (h in c) printf "| 1..%d | %s | %s | %.1fx | %s | %s |\n", h, g[h], c[h],
          c[h] / g[h], tr[h], cr[h] }' "$csv" | sort -t. -k3n
echo
say "wrote $csv$([[ -f $plot ]] && echo " and $plot") in $((SECONDS - start)) s"
