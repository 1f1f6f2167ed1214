# The bench scripts on recorded reports and on the built program: the results table never merges
# records that differ in a field that can change a result and flags the answers that fail; the
# standard run writes its records and summary where it is told, builds nothing, stops at a failed
# run keeping its record, and leaves the tree alone; docs/results.md is the table of the records
# kept under docs/results/.
# Usage: scripts_test.sh table|record|results SOURCE_DIR [BUILD_DIR]
source "$(dirname "$0")/../install/common.sh"
require_tools jq
group=$1 sources=$2 build=${3:-}
fixture=$sources/tests/bench/records.jsonl
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The data rows of a Markdown table: lines that start with "| " and are no header.
data_rows() { grep '^| ' | tail -n +2; }

case $group in
  table)
    bash "$sources/bench/results_table.sh" "$fixture" >"$work/table" 2>"$work/err" ||
      fail "results_table.sh failed: $(cat "$work/err")"
    records=$(grep -c '"program":"friendlyNumbers' "$fixture")
    rows=$(data_rows <"$work/table" | wc -l)
    # The fixture: four runs of one setup (one recorded without the settings it leaves unset), then
    # records that differ from it in one field each.
    ((rows == records - 3)) || fail "$records records of which 4 agree gave $rows rows"
    runs=$(grep '^| ' "$work/table" | awk -F' *[|] *' 'NR == 1 { for (i = 1; i <= NF; ++i)
      if ($i == "runs") c = i } NR > 1 { s += $c } END { print s }')
    ((runs == records)) || fail "the rows count $runs runs of $records records"
    grep -q "| 4 | 0.2 | 0.25 | 0.3 |" "$work/table" ||
      fail "the four runs' seconds are not min 0.2, median 0.25, max 0.3: $(cat "$work/table")"
    [[ $(grep -c 'validation failed: 1' "$work/table") == 1 ]] || fail "no row of a failed validation"
    [[ $(grep -c 'checksum disagrees' "$work/table") == 1 ]] &&
      grep 'checksum disagrees' "$work/table" | grep -q '| portable |' ||
      fail "the disagreeing checksum is not flagged on its row alone"
    grep -q 'loaded: 1 of 4' "$work/table" || fail "the loaded run is not counted"
    grep -q 'failed validation' "$work/err" && grep -q 'disagree' "$work/err" ||
      fail "the failures are not on standard error: $(cat "$work/err")"
    # Only the ranges asked for; nothing at all is an error.
    HIGH=1 bash "$sources/bench/results_table.sh" "$fixture" >/dev/null 2>&1 &&
      fail "a table of no records succeeded"
    echo "results_table.sh: $records records in $rows rows, the failures flagged"
    ;;
  record)
    tree_before=$(git -C "$sources" status --porcelain 2>/dev/null || true)
    OUT=$work/none bash "$sources/bench/record.sh" "$work/no-build" >/dev/null 2>"$work/err" &&
      fail "record.sh ran without a built program"
    grep -q 'build it first' "$work/err" || fail "no word on the missing program: $(cat "$work/err")"
    OUT=$work/out HIGHS="200 3000" THREADS="1 2" REPEATS=2 \
      bash "$sources/bench/record.sh" "$build" >"$work/log" 2>&1 ||
      fail "record.sh failed: $(cat "$work/log")"
    [[ $(wc -l <"$work/out/records.jsonl") == 8 ]] || fail "not 8 records: $(cat "$work/out/records.jsonl")"
    [[ $(jq -s '[.[] | select(.validated == true)] | length' "$work/out/records.jsonl") == 2 ]] ||
      fail "not one validated run per range"
    jq -e -s 'all(.[]; (.repetition | type) == "number" and (.other_load | type) == "number")' \
      "$work/out/records.jsonl" >/dev/null || fail "a record lacks its repetition or load"
    [[ $(data_rows <"$work/out/summary.md" | grep -c '| 2 |') == 4 ]] ||
      fail "the summary has not four cases of two runs: $(cat "$work/out/summary.md")"
    # A run that fails (here a stand-in for a build whose validation fails) stops the standard
    # run, and its record is kept.
    mkdir -p "$work/failing"
    printf '%s\n' '#!/bin/sh' 'for a; do case $a in --report=json:*)' \
      "  echo '{\"program\":\"friendlyNumbers\",\"validated\":false}' >\"\${a#--report=json:}\";;" \
      'esac; done' 'exit 1' >"$work/failing/friendlyNumbers"
    chmod +x "$work/failing/friendlyNumbers"
    OUT=$work/failed HIGHS=200 THREADS=1 REPEATS=1 bash "$sources/bench/record.sh" \
      "$work/failing" >/dev/null 2>&1 && fail "record.sh went on after a failed run"
    [[ $(jq -s 'map(.validated) == [false]' "$work/failed/records.jsonl") == true ]] ||
      fail "the failed run's record is not kept: $(cat "$work/failed/records.jsonl")"
    [[ $(git -C "$sources" status --porcelain 2>/dev/null || true) == "$tree_before" ]] ||
      fail "record.sh changed the source tree"
    echo "record.sh: 8 records and their summary under the folder given, the tree untouched"
    ;;
  results)
    # The table of docs/results.md is the table of the records beside it.
    bash "$sources/bench/results_table.sh" "$sources"/docs/results/*.jsonl >"$work/table" 2>/dev/null ||
      fail "results_table.sh failed on docs/results/"
    sed -n '/^<!-- table -->$/,/^<!-- end of table -->$/p' "$sources/docs/results.md" |
      sed '1d;$d' >"$work/page"
    diff -u "$work/table" "$work/page" >&2 ||
      fail "docs/results.md differs from bench/results_table.sh docs/results/*.jsonl"
    echo "docs/results.md holds the table of $(ls "$sources"/docs/results/*.jsonl | wc -l) record files"
    ;;
  *) fail "unknown group $group" ;;
esac
