#!/usr/bin/env bash
# Times the program over several range lengths and team sizes on the widest kernel path
# ("fast") and on the literal loops (FRIENDLY_KERNELS=literal), checks that both print the same
# pairs, and writes OUT/scaling.csv (every run), OUT/reports.jsonl (every run's --report=json
# record, for bench/results_table.sh) and, where gnuplot is installed (Debian package
# gnuplot-nox), OUT/scaling.png, titled with the processor, compiler and version of the report.
#
#   bench/scaling.sh [BUILD_DIR]
#
# The build is configured and built first (preset default). Settings, all optional: HIGHS (last
# bounds, each range starts at 1), THREADS (team sizes), REPEATS (runs of each point; the CSV
# keeps every run, the plot and the table use the median), FAST (the path of the fast runs,
# default the widest this processor runs), OUT (default BUILD_DIR/scaling/DATE).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
highs=(${HIGHS:-25000 50000 100000 150000 200000})
threads=(${THREADS:-1 2})
repeats=${REPEATS:-5}
out=${OUT:-$build_dir/scaling/$(date -u +%Y%m%dT%H%M%SZ)}
csv=$out/scaling.csv
plot=$out/scaling.png
reports=$out/reports.jsonl
command -v jq >/dev/null || {
  echo "scaling.sh: jq is missing (apt-get install jq)" >&2
  exit 1
}

# The program only; one binary for both paths.
cmake --preset default -B "$build_dir" >/dev/null
cmake --build "$build_dir" --target friendlyNumbers >/dev/null
# The widest path this processor runs: the last CPU path of the program's list.
fast_path=${FAST:-$("$build_dir/friendlyNumbers" --list-paths | grep -vx gpu | tail -n 1)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds printed on the time line of one run; the pair lines are kept in $work/BUILD.out.
run() {
  local build=$1 team=$2 high=$3 path=$fast_path
  [[ $build == literal ]] && path=literal
  FRIENDLY_KERNELS=$path OMP_NUM_THREADS=$team "$build_dir/friendlyNumbers" \
    --report=json:"$work/report.json" 1 "$high" >"$work/$build.out"
  cat "$work/report.json" >>"$reports"
  sed -n 's/^Tempo total \([0-9.]*\) seconds$/\1/p' "$work/$build.out"
}

mkdir -p "$out"
: >"$reports"
echo "build,threads,low,high,run,seconds" >"$csv"
for high in "${highs[@]}"; do
  for team in "${threads[@]}"; do
    for ((r = 1; r <= repeats; r++)); do
      # The two alternate run by run, so that a busy spell of the machine hits both.
      for build in fast literal; do
        seconds=$(run "$build" "$team" "$high")
        echo "$build,$team,1,$high,$r,$seconds" >>"$csv"
        echo "$build threads=$team 1..$high run $r: $seconds s"
      done
      # Same pairs from both paths (the order differs between team sizes and runs).
      if ! cmp -s <(grep -v '^Tempo' "$work/fast.out" | sort) \
        <(grep -v '^Tempo' "$work/literal.out" | sort); then
        echo "scaling.sh: the paths printed different pairs for 1..$high" >&2
        exit 1
      fi
    done
  done
done

# Median and best run per build, team size and range: build threads high median best.
medians=$work/medians.dat
tail -n +2 "$csv" | sort -t, -k1,1 -k2,2n -k4,4n -k6,6g |
  awk -F, '
    function flush() {
      if (n) print key, (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2), v[1]
    }
    { k = $1 " " $2 " " $4; if (k != key) { flush(); key = k; n = 0 } v[++n] = $6 }
    END { flush() }' >"$medians"

# Plot: time against range length, log scale, one line per build and team size.
series=()
for build in literal fast; do
  for team in "${threads[@]}"; do
    awk -v b="$build" -v t="$team" '$1 == b && $2 == t { print $3, $4 }' "$medians" \
      >"$work/$build-$team.dat"
    label="$team threads"
    [[ $team == 1 ]] && label="1 thread"
    series+=("'$work/$build-$team.dat' using 1:2 with linespoints title '$build, $label'")
  done
done
machine=$(jq -r -s '.[0] | "\(.processor), \(.compiler), \(.openmp), friendlyNumbers \(.version)"' \
  "$reports")
if command -v gnuplot >/dev/null; then
  gnuplot <<EOF
set terminal pngcairo size 900,560 font ",11"
set output '$plot'
set title "friendlyNumbers 1 HIGH: median time of $repeats runs\n$machine"
set xlabel 'range length (HIGH)'
set ylabel 'seconds (log scale)'
set logscale y
set key top left
set grid
plot $(IFS=,; echo "${series[*]}")
EOF
else
  echo "scaling.sh: gnuplot is missing (apt-get install gnuplot-nox); no plot" >&2
  plot=""
fi

# Summary as a Markdown table: medians, their ratios, and the ratio of the best runs (a run
# that shared a core with another process is slow; the best one did not).
echo
echo "| range | literal, 1 thread | fast, 1 thread | literal, 2 threads | fast, 2 threads |" \
  "fast vs literal, 1 thread | fast, 2 vs 1 thread | same, best runs |"
echo "|---|---|---|---|---|---|---|---|"
awk '{ print $3 }' "$medians" | sort -nu | while read -r high; do
  awk -v h="$high" '
    $3 == h { t[$1 " " $2] = $4; best[$1 " " $2] = $5 }
    END {
      printf "| 1..%d | %.3f s | %.3f s | %.3f s | %.3f s | %.1fx | %.2fx | %.2fx |\n", h,
        t["literal 1"], t["fast 1"], t["literal 2"], t["fast 2"],
        t["literal 1"] / t["fast 1"], t["fast 1"] / t["fast 2"], best["fast 1"] / best["fast 2"]
    }' "$medians"
done
echo
echo "on $machine: wrote $csv, $reports${plot:+ and $plot}"
