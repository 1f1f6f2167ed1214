#!/usr/bin/env bash
# The standard run of this machine, from a program built beforehand (it builds nothing): the
# ranges 1..100000 and 1..1000000, on one thread and on every thread, on the default path and
# tuning, REPEATS times each in alternation, the first run of each range on every thread with
# --validate. Each run's `--report=json` record goes to OUT/records.jsonl with two fields added:
# repetition, and other_load, the cores' worth of work that other processes (and the hypervisor's
# steal) did during the run, or during the second from its start where it was shorter. A run
# with other_load above LOAD_LIMIT is said to be loaded, on standard error and in the summary.
# Then OUT/summary.md: bench/results_table.sh over the records (minimum, median and maximum of
# each case). A run that fails stops the standard run; its record, if it wrote one, is kept.
# Needs jq.
#
#   bench/record.sh [BUILD_DIR]     (default build, as `cmake --workflow --preset demo` makes it)
#
# Settings, all optional: OUT (default BUILD_DIR/records/DATE; BUILD_DIR/records/latest names the
# last), REPEATS (default 3), HIGHS (the last bounds, each range from 1; default "100000
# 1000000"), THREADS (team sizes; default "1 CORES"), LOAD_LIMIT (cores, default 0.25).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
program=$build_dir/friendlyNumbers
repeats=${REPEATS:-3}
cores=$(nproc)
read -r -a highs <<<"${HIGHS:-100000 1000000}"
read -r -a teams <<<"${THREADS:-1 $cores}"
load_limit=${LOAD_LIMIT:-0.25}

fail() {
  echo "record.sh: $*" >&2
  exit 1
}
command -v jq >/dev/null || fail "jq is missing (apt-get install jq)"
[[ -x $program ]] || fail "no program at $program: build it first (cmake --workflow --preset demo)"
[[ $repeats =~ ^[1-9][0-9]*$ ]] || fail "REPEATS '$repeats' is not a positive whole number"

out=${OUT:-$build_dir/records/$(date -u +%Y%m%dT%H%M%SZ)}
mkdir -p "$out"
[[ -n ${OUT:-} ]] || ln -sfn "$(basename "$out")" "$build_dir/records/latest"
records=$out/records.jsonl
: >"$records"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The machine's busy time (every state but idle and I/O wait, steal included), in clock ticks.
busy_ticks() {
  awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat
}
# The CPU time of this shell's finished children, user and system, in seconds. `times` runs in
# this shell: in a subshell it would count the subshell's children only.
children_seconds() {
  times >"$work/times"
  awk 'NR == 2 {
    n = split($0, t, " ")
    for (i = 1; i <= n; ++i) { split(t[i], p, /[ms]/); s += p[1] * 60 + p[2] }
    print s }' "$work/times"
}
ticks=$(getconf CLK_TCK)

loaded=0
runs=0
for ((repetition = 1; repetition <= repeats; ++repetition)); do
  for high in "${highs[@]}"; do
    for team in "${teams[@]}"; do
      options=(--report=json:"$work/record.json")
      ((repetition == 1 && team == teams[${#teams[@]} - 1])) && options+=(--validate)
      rm -f "$work/record.json"
      busy_before=$(busy_ticks)
      children_seconds >"$work/cpu_before"
      start=$(date +%s.%N)
      status=0
      OMP_NUM_THREADS=$team "$program" "${options[@]}" 1 "$high" >/dev/null || status=$?
      # A failed validation still leaves its record, which the records keep.
      if ((status != 0)); then
        [[ -s $work/record.json ]] && cat "$work/record.json" >>"$records"
        fail "the run of 1..$high on $team threads failed (status $status)"
      fi
      # The load is measured over a second at least: the clock ticks of /proc/stat are too
      # coarse for a shorter run.
      stop=$(date +%s.%N)
      rest=$(awk -v t0="$start" -v t1="$stop" 'BEGIN { r = 1 - (t1 - t0); print (r > 0 ? r : 0) }')
      sleep "$rest"
      stop=$(date +%s.%N)
      busy_after=$(busy_ticks)
      children_seconds >"$work/cpu_after"
      other=$(awk -v b0="$busy_before" -v b1="$busy_after" -v c0="$(cat "$work/cpu_before")" \
        -v c1="$(cat "$work/cpu_after")" -v t0="$start" -v t1="$stop" -v hz="$ticks" 'BEGIN {
          load = ((b1 - b0) / hz - (c1 - c0)) / (t1 - t0)
          printf "%.3f", load < 0 ? 0 : load }')
      jq -c --argjson repetition "$repetition" --argjson other "$other" \
        '. + {repetition: $repetition, other_load: $other}' "$work/record.json" >>"$records"
      runs=$((runs + 1))
      summary=$(jq -r '"\(.threads) threads 1..\(.high): \(.seconds) s, \(.tests_per_second) tests/s, \(.comparisons_per_second) comparisons/s" + (if .validated then ", validated" else "" end)' \
        "$work/record.json")
      echo "record.sh: run $repetition of $repeats, $summary, other load $other cores"
      if awk -v o="$other" -v l="$load_limit" 'BEGIN { exit !(o > l) }'; then
        loaded=$((loaded + 1))
        echo "record.sh: loaded: other processes used $other cores during this run" >&2
      fi
    done
  done
done

processor=$(jq -r -s '.[0].processor' "$records")
{
  echo "Standard run of $processor ($(lscpu | awk -F': *' '/^CPU family/ {f = $2} /^Model:/ {m = $2}
    END {printf "family %s model %s", f, m}'), $cores cores), $(date -u +%Y-%m-%d):" \
    "$repeats repetitions of each case."
  if ((loaded > 0)); then
    echo "**The machine was loaded: $loaded of $runs runs shared it with other work of more" \
      "than $load_limit cores; compare their minimums, or run again on a quiet machine.**"
  fi
  echo
  LOAD_LIMIT=$load_limit bash bench/results_table.sh "$records"
} >"$out/summary.md"
cat "$out/summary.md"
echo "record.sh: $runs records in $records, the summary in $out/summary.md"
((loaded == 0)) || echo "record.sh: $loaded of $runs runs were loaded (above $load_limit cores of other work)" >&2
