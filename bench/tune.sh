#!/usr/bin/env bash
# Times each phase under each tuning of src/paths/tuning.hpp on this machine, with the phase
# benchmarks, REPEATS rounds: the ratio phase on every vector path, the pair phase on 1..100000
# and on the sample of 1..2000000, on one thread and on every thread. Prints each tuning's
# figures with their spread over the rounds (minimum, median, maximum), and recommends a tuning
# for this processor, or a row for the tables, only where one beats the tuning that the table
# picks now by more than both spreads (never from fewer than 3 rounds). Writes the benchmarks'
# output and one JSON record (also printed last) under OUT. The processor is named as the
# program's report names it, so that the record joins the rows of bench/results_table.sh. Needs jq.
#
#   bench/tune.sh [BUILD_DIR]
#
# The benchmarks are configured and built first (preset bench, BUILD_DIR default build-bench).
# Settings, all optional: REPEATS (default 3), TUNINGS (names, default every row of the table),
# OUT (default BUILD_DIR/tune/DATE).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-bench}
repeats=${REPEATS:-3}
command -v jq >/dev/null || {
  echo "tune.sh: jq is missing (apt-get install jq)" >&2
  exit 1
}
[[ $repeats =~ ^[1-9][0-9]*$ ]] || {
  echo "tune.sh: REPEATS '$repeats' is not a positive whole number" >&2
  exit 2
}
((repeats >= 3)) || echo "tune.sh: $repeats round(s) give no spread: no tuning will be recommended" >&2

cmake --preset bench -B "$build_dir" >/dev/null
cmake --build "$build_dir" --target phase_benchmarks friendlyNumbers >/dev/null
bench=$build_dir/bench/phase_benchmarks
out=${OUT:-$build_dir/tune/$(date -u +%Y%m%dT%H%M%SZ)}
mkdir -p "$out"

# The tunings: TUNING(name, avx512_vectors, avx512_stretch, avx512_split, avx2_vectors,
# tile_percent, group_blocks) rows of the table, by name.
declare -A row
names=()
while read -r name fields; do
  row[$name]=$fields
  names+=("$name")
done < <(sed -n 's/^  TUNING(\([a-z0-9_]*\), *\([^)]*\)).*/\1 \2/p' src/paths/tuning.hpp)
if [[ -n ${TUNINGS:-} ]]; then
  read -r -a names <<<"$TUNINGS"
  for name in "${names[@]}"; do
    [[ -n ${row[$name]:-} ]] || {
      echo "tune.sh: no tuning $name in src/paths/tuning.hpp" >&2
      exit 2
    }
  done
fi

# This processor: its name as the report gives it, the tuning that the table picks now, and its
# vendor, family, model and first-level data cache, as the table of processors reads them.
report=$(env -u FRIENDLY_TUNING "$build_dir/friendlyNumbers" --report=json 1 2 2>&1 >/dev/null)
processor=$(jq -r .processor <<<"$report")
picked=$(jq -r .tuning <<<"$report")
vendor=$(awk -F': ' '/^vendor_id/ {print $2; exit}' /proc/cpuinfo)
family=$(awk -F': ' '/^cpu family/ {print $2; exit}' /proc/cpuinfo)
model=$(awk -F': ' '/^model\t/ {print $2; exit}' /proc/cpuinfo)
level1=$(getconf LEVEL1_DCACHE_SIZE 2>/dev/null || echo 0)
case $vendor in
  GenuineIntel) vendor_row=Vendor::intel ;;
  AuthenticAMD) vendor_row=Vendor::amd ;;
  *) vendor_row=Vendor::other ;;
esac
[[ -n ${row[$picked]:-} ]] || {
  echo "tune.sh: the table picks $picked, which is not among the tunings timed" >&2
  exit 2
}

filter='RatioPhase/int32/(portable|avx2|avx512)$|PairPhase/int(32|64)/(avx2|avx512)$|PairPhaseSample/'
# The phase benchmarks under each tuning, one after the other, REPEATS times round, so that a
# change in the machine's load spreads over every tuning alike.
for ((round = 1; round <= repeats; ++round)); do
  for name in "${names[@]}"; do
    FRIENDLY_TUNING=$name "$bench" --benchmark_filter="$filter" --benchmark_format=json \
      2>/dev/null >"$out/$name.$round.json"
  done
done

# Each round's figures per tuning: the ratio phase on the fastest (widest) path, the pair phase on
# 1..100000 and on the sample of 1..2000000 on one thread, the sample's fraction of 1..100000 on
# one thread and on every thread, and the geometric mean of every pair figure on one thread (both
# vector paths, 32-bit and 64-bit ratios, both samples), which no tile that suits one of them
# only can lead. Then each figure's minimum, median and maximum over the rounds.
for name in "${names[@]}"; do
  for ((round = 1; round <= repeats; ++round)); do
    jq -c --arg tuning "$name" '
      [.benchmarks[] | {key: .name, value: (.["tests/s"] // .["comparisons/s"])}] | from_entries
      | def ratio: to_entries | map(select(.key | test("^RatioPhase")) | .value) | max;
        def pair_mean: to_entries
          | map(select(.key | test("^PairPhase/|^PairPhaseSample/.*threads:1/")) | .value | log)
          | add / length | exp;
        def sample(high; threads): to_entries
          | map(select(.key | test("^PairPhaseSample/1\\.\\." + high + "/.*threads:" + threads)))
          | (first.value // 0);
      {tuning: $tuning, ratio: ratio, pair_1e5: sample("100000"; "1"),
       pair_2e6: sample("2000000"; "1"),
       sample_1t: (sample("2000000"; "1") / sample("100000"; "1")),
       sample_all: (if sample("100000"; "2") > 0
                    then sample("2000000"; "2") / sample("100000"; "2") else 0 end),
       pair_mean: pair_mean}' "$out/$name.$round.json"
  done
done | jq -s -c '
  def median: sort | if length % 2 == 1 then .[(length - 1) / 2]
                     else (.[length / 2 - 1] + .[length / 2]) / 2 end;
  group_by(.tuning) | map(. as $rounds | {key: .[0].tuning, value: (
    ["ratio", "pair_1e5", "pair_2e6", "sample_1t", "sample_all", "pair_mean"]
    | map(. as $f | {key: $f, value: ($rounds | map(.[$f]) | {min: min, median: median, max: max})})
    | from_entries)}) | from_entries' >"$out/figures.json"

printf '%s: %s (%s family %s model %s), first-level data cache %s bytes; the table picks %s\n' \
  "$(basename "$0")" "$processor" "$vendor" "$family" "$model" "$level1" "$picked"
echo "medians of $repeats rounds, with the ratio and pair figures' minimum..maximum:"
printf '%-12s %28s %12s %12s %10s %10s %28s\n' tuning ratio_tests/s pair_1e5/s pair_2e6/s \
  sample_1t sample_all pair_mean_cmp/s
for name in "${names[@]}"; do
  jq -r --arg n "$name" '.[$n] | [$n, .ratio.median, .ratio.min, .ratio.max, .pair_1e5.median,
    .pair_2e6.median, .sample_1t.median, .sample_all.median, .pair_mean.median, .pair_mean.min,
    .pair_mean.max] | @tsv' "$out/figures.json"
done | awk -F'\t' '{printf "%-12s %10.4g (%.3g..%.3g) %12.4g %12.4g %10.3f %10.3f %10.4g (%.3g..%.3g)\n",
  $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11}'

# The best of each phase by its median (the ratio phase on the widest path, the pair phase by
# the mean of its figures), kept only where its worst round beats the best round of the tuning
# that the table picks now: a difference within the spread recommends nothing.
choice() {
  jq -r --arg figure "$1" --arg picked "$picked" --argjson repeats "$repeats" '
    (to_entries | max_by(.value[$figure].median)) as $best
    | if $repeats >= 3 and $best.key != $picked and $best.value[$figure].min > .[$picked][$figure].max
      then $best.key else $picked end' "$out/figures.json"
}
best_ratio=$(choice ratio)
best_pair=$(choice pair_mean)
echo "beyond the spread: ratio phase $best_ratio, pair phase $best_pair (the table picks $picked)"
best=$best_ratio
rows=""
if [[ $best_ratio == "$picked" && $best_pair == "$picked" ]]; then
  echo "no row to add: no tuning beats $picked by more than the spread of $repeats rounds"
else
  read -r -a ratio_fields <<<"${row[$best_ratio]//,/ }"
  read -r -a pair_fields <<<"${row[$best_pair]//,/ }"
  echo "rows to add (src/paths/tuning.hpp):"
  if [[ $best_ratio != "$best_pair" ]]; then
    fields="${ratio_fields[0]}, ${ratio_fields[1]}, ${ratio_fields[2]}, ${ratio_fields[3]}, ${pair_fields[4]}, ${pair_fields[5]}"
    # A row of the table that holds these constants already is named, not added again.
    best=NAME
    for name in "${names[@]}"; do
      [[ ${row[$name]// /} == "${fields// /}" ]] && best=$name
    done
    [[ $best == NAME ]] && rows="  TUNING(NAME, $fields)"$'\n'
  fi
  rows+="    {$vendor_row, $family, $model, $model, $level1, \"$best\"},"
  echo "$rows"
fi

jq -c --arg processor "$processor" --arg vendor "$vendor" --argjson family "$family" \
  --argjson model "$model" --argjson level1 "$level1" --arg picked "$picked" --arg best "$best" \
  --arg ratio "$best_ratio" --arg pair "$best_pair" --argjson repeats "$repeats" \
  --argjson report "$report" \
  '{processor: $processor, vendor: $vendor, family: $family, model: $model,
    level1_data: $level1, version: $report.version, compiler: $report.compiler,
    openmp: $report.openmp, table_picks: $picked, best: $best, best_ratio: $ratio,
    best_pair: $pair, rounds: $repeats, figures: .}' "$out/figures.json" | tee "$out/tune.json"
echo "tune.sh: the benchmarks' output and tune.json in $out" >&2
