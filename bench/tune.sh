#!/usr/bin/env bash
# Times each phase under each tuning of src/paths/tuning.hpp on this machine, with the phase
# benchmarks (medians of REPEATS runs): the ratio phase on every vector path, the pair phase on
# 1..100000 and on the sample of 1..2000000, on one thread and on every thread. Prints the table,
# the best tuning for each phase and over both, the rows to add to the tables, and one JSON
# record (the last line). Needs jq.
#
#   bench/tune.sh [BUILD_DIR]
#
# The benchmarks are configured and built first (preset bench, BUILD_DIR default build-bench).
# Settings, all optional: REPEATS (default 3), TUNINGS (names, default every row of the table).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-bench}
repeats=${REPEATS:-3}
command -v jq >/dev/null || {
  echo "tune.sh: jq is missing (apt-get install jq)" >&2
  exit 1
}

cmake --preset bench -B "$build_dir" >/dev/null
cmake --build "$build_dir" --target phase_benchmarks friendlyNumbers >/dev/null
bench=$build_dir/bench/phase_benchmarks

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

# This processor, as the table of processors reads it.
vendor=$(awk -F': ' '/^vendor_id/ {print $2; exit}' /proc/cpuinfo)
family=$(awk -F': ' '/^cpu family/ {print $2; exit}' /proc/cpuinfo)
model=$(awk -F': ' '/^model\t/ {print $2; exit}' /proc/cpuinfo)
processor=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
level1=$(getconf LEVEL1_DCACHE_SIZE 2>/dev/null || echo 0)
case $vendor in
  GenuineIntel) vendor_row=Vendor::intel ;;
  AuthenticAMD) vendor_row=Vendor::amd ;;
  *) vendor_row=Vendor::other ;;
esac
picked=$("$build_dir/friendlyNumbers" --report=json 1 2 2>&1 >/dev/null | jq -r .tuning)

filter='RatioPhase/int32/(portable|avx2|avx512)$|PairPhase/int(32|64)/(avx2|avx512)$|PairPhaseSample/'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The phase benchmarks under each tuning, one after the other, REPEATS times round, so that a
# change in the machine's load spreads over every tuning alike.
for ((round = 1; round <= repeats; ++round)); do
  for name in "${names[@]}"; do
    FRIENDLY_TUNING=$name "$bench" --benchmark_filter="$filter" --benchmark_format=json \
      2>/dev/null >"$work/$name.$round.json"
  done
done

# The median over the rounds of each benchmark's rate, per tuning: {tuning: {benchmark: rate}}.
for name in "${names[@]}"; do
  jq -s --arg tuning "$name" '
    [.[].benchmarks[] | {key: .name, value: (.["tests/s"] // .["comparisons/s"])}]
    | group_by(.key)
    | map({key: .[0].key, value: (map(.value) | sort | .[(length - 1) / 2 | floor])})
    | {($tuning): from_entries}' "$work/$name".*.json
done | jq -s 'add' >"$work/rates.json"

# Each phase's figure per tuning: the ratio phase on the fastest (widest) path, the pair phase on
# 1..100000 and on the sample of 1..2000000 on one thread, the sample's fraction of 1..100000 on
# one thread and on every thread, and the geometric mean of every pair figure on one thread (both
# vector paths, 32-bit and 64-bit ratios, both samples), which no tile that suits one of them
# only can lead.
jq -r '
  def ratio: to_entries | map(select(.key | test("^RatioPhase")) | .value) | max;
  def pair_mean: to_entries
    | map(select(.key | test("^PairPhase/|^PairPhaseSample/.*threads:1/")) | .value | log)
    | add / length | exp;
  def sample(high; threads): to_entries
    | map(select(.key | test("^PairPhaseSample/1\\.\\." + high + "/.*threads:" + threads)))
    | (first.value // 0);
  to_entries[] | .key as $n | .value as $r
  | [$n, ($r | ratio), ($r | sample("100000"; "1")), ($r | sample("2000000"; "1")),
     ($r | sample("2000000"; "1")) / ($r | sample("100000"; "1")),
     (if ($r | sample("100000"; "2")) > 0
      then ($r | sample("2000000"; "2")) / ($r | sample("100000"; "2")) else 0 end),
     ($r | pair_mean)]
  | @tsv' "$work/rates.json" >"$work/figures.tsv"

printf '%s: %s (%s family %s model %s), first-level data cache %s bytes; the table picks %s\n' \
  "$(basename "$0")" "$processor" "$vendor" "$family" "$model" "$level1" "$picked"
printf '%-10s %16s %16s %16s %10s %10s %16s\n' tuning ratio_tests/s pair_1e5_cmp/s \
  pair_2e6_cmp/s sample_1t sample_all pair_mean_cmp/s
awk -F'\t' '{printf "%-10s %16.4g %16.4g %16.4g %10.3f %10.3f %16.4g\n", $1, $2, $3, $4, $5, $6, $7}' \
  "$work/figures.tsv"

# The best of each phase (the ratio phase on the widest path, the pair phase by the mean of its
# figures), and over both: the highest product of the two rates against the first tuning's.
best_ratio=$(sort -t$'\t' -k2,2gr "$work/figures.tsv" | head -n 1 | cut -f1)
best_pair=$(sort -t$'\t' -k7,7gr "$work/figures.tsv" | head -n 1 | cut -f1)
best=$(awk -F'\t' 'NR == 1 {r = $2; p = $7} {print $1 "\t" ($2 / r) * ($7 / p)}' \
  "$work/figures.tsv" | sort -t$'\t' -k2,2gr | head -n 1 | cut -f1)
echo "best: ratio phase $best_ratio, pair phase $best_pair, both $best"
read -r -a ratio_fields <<<"${row[$best_ratio]//,/ }"
read -r -a pair_fields <<<"${row[$best_pair]//,/ }"
echo "rows to add (src/paths/tuning.hpp):"
if [[ $best_ratio != "$best_pair" ]]; then
  echo "  TUNING(NAME, ${ratio_fields[0]}, ${ratio_fields[1]}, ${ratio_fields[2]}, ${ratio_fields[3]}, ${pair_fields[4]}, ${pair_fields[5]})"
  best=NAME
fi
echo "    {$vendor_row, $family, $model, $model, $level1, \"$best\"},"

jq -c --arg processor "$processor" --arg vendor "$vendor" --argjson family "$family" \
  --argjson model "$model" --argjson level1 "$level1" --arg picked "$picked" --arg best "$best" \
  --arg ratio "$best_ratio" --arg pair "$best_pair" \
  '{processor: $processor, vendor: $vendor, family: $family, model: $model,
    level1_data: $level1, table_picks: $picked, best: $best, best_ratio: $ratio,
    best_pair: $pair, rates: .}' "$work/rates.json"
