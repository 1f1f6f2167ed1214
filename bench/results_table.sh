#!/usr/bin/env bash
# One Markdown table of the `--report=json` records of runs gathered on several machines (files,
# or standard input): one row per set of records that agree on every field that can change a
# result, that is every field but the measurements and the answer (program, version, compiler,
# build, OpenMP runtime and placement settings, processor, path, tuning, team, ranks, range and
# any field a later version adds). Each row gives the printed seconds and both rates, minimum,
# median and maximum, the number of runs, and flags: a failed validation, a checksum that
# disagrees with the other records of the same range, runs under load (bench/record.sh's
# other_load above LOAD_LIMIT cores). Fields that every row shares are named once above the table.
# Needs jq. With PLOT=FILE.png and gnuplot (Debian package gnuplot-nox), also a bar chart of the
# medians; without gnuplot the plot is skipped, saying so.
#
#   bench/results_table.sh [RECORD_FILE...] > table.md
#
# Lines that are not a record of friendlyNumbers or friendlyNumbers_mpi are ignored. Settings:
# HIGH (only runs of ranges that end at HIGH), LOAD_LIMIT (default 0.25), PLOT.
set -euo pipefail

command -v jq >/dev/null || {
  echo "results_table.sh: jq is missing (apt-get install jq)" >&2
  exit 1
}

# The rows as JSON, one object per group: its fields, the spread of its measurements, its flags.
rows=$(cat "$@" | jq -R -s -c --arg high "${HIGH:-}" --argjson load_limit "${LOAD_LIMIT:-0.25}" '
  # The fields that are measured or answered, never part of what a row compares.
  def measured: ["date", "pairs", "checksum", "seconds", "ratio_seconds", "pair_seconds",
    "candidate_tests", "comparisons", "tests_per_second", "comparisons_per_second", "validated",
    "device_setup_seconds", "repetition", "other_load"];
  # A field left out and a field set to null say the same.
  def key: with_entries(select(.value != null and (.key as $k | measured | index($k) | not)));
  def median: sort | if length % 2 == 1 then .[(length - 1) / 2]
                     else (.[length / 2 - 1] + .[length / 2]) / 2 end;
  def spread(f): map(f | select(. != null)) | if length == 0 then null
                 else {min: min, median: median, max: max} end;
  [split("\n")[] | select(length > 0) | fromjson?
   | select(type == "object" and ((.program // "") | tostring | startswith("friendlyNumbers")))
   | select($high == "" or (.high | tostring) == $high)] as $records
  # The answers of each range, and how many records gave each.
  | ($records | group_by([.low, .high]) | map({key: "\(.[0].low)..\(.[0].high)",
       value: (group_by([.pairs, .checksum]) | map({key: "\(.[0].pairs) \(.[0].checksum)",
                                                     value: length}) | from_entries)})
     | from_entries) as $answers
  # A record disagrees when its range holds other answers and its own is not the only most given.
  | def disagrees: $answers["\(.low)..\(.high)"] as $counts | ($counts | [.[]] | max) as $top
      | ($counts | length) > 1
        and ($counts["\(.pairs) \(.checksum)"] < $top or ([$counts[] | select(. == $top)] | length) > 1);
  $records | group_by(key | to_entries | sort_by(.key) | tojson)
  | map({key: (.[0] | key), runs: length,
         seconds: spread(.seconds), tests: spread(.tests_per_second),
         comparisons: spread(.comparisons_per_second),
         failed: map(select(.validated == false)) | length,
         validated: map(select(.validated == true)) | length,
         disagree: map(select(disagrees)) | length,
         loaded: map(select((.other_load // 0) > $load_limit)) | length})
  | sort_by(.key.processor, .key.version, .key.compiler, .key.openmp, .key.path, .key.tuning,
            .key.threads, .key.low, .key.high)')
[[ $rows != "[]" ]] || {
  echo "results_table.sh: no records in the input" >&2
  exit 1
}

# The flags, also on standard error, so that a failed check is never only in a file.
jq -r '.[] | select(.failed > 0 or .disagree > 0)
  | "results_table.sh: \(.key.processor) \(.key.path) \(.key.threads) threads \(.key.low)..\(.key.high):"
    + (if .failed > 0 then " \(.failed) failed validation" else "" end)
    + (if .disagree > 0 then " \(.disagree) checksum(s) disagree with the other records of the range"
       else "" end)' <<<"$rows" >&2

jq -r --argjson load_limit "${LOAD_LIMIT:-0.25}" '
  def shown: if . == null then "null" else tostring end;
  def fixed: ["processor", "version", "compiler", "openmp", "path", "tuning", "threads", "low", "high"];
  def cell: gsub("\\|"; "\\|");
  # Three significant digits of x / unit.
  def sig(unit): if . == null then "-" else . / unit
    | if . == 0 then "0" else (pow(10; 2 - (fabs | log10 | floor))) as $s | (. * $s | round) / $s
      | tostring end end;
  def span(unit): if . == null then "- | - | -"
                  else "\(.min | sig(unit)) | \(.median | sig(unit)) | \(.max | sig(unit))" end;
  . as $rows
  | ([.[].key | keys[]] | unique) as $all
  # Fields of one value in every row are said once; the others that no fixed column shows get one.
  | [$all[] | . as $k | select(fixed | index($k) | not)
     | select([$rows[] | .key[$k]] | unique | length > 1)] as $extra
  | [$all[] | . as $k | select(fixed | index($k) | not)
     | select([$rows[] | .key[$k]] | unique | length == 1)] as $common
  | (if ($common | length) > 0
     then "Every row: " + ([$common[] | "\(.) `\($rows[0].key[.] | shown)`"] | join(", ")) + ".\n"
     else empty end),
    "| processor | version | compiler | OpenMP | path | tuning | threads | range | "
    + ([$extra[] + " | "] | join("")) + "runs | seconds min | median | max | "
    + "G tests/s min | median | max | G comparisons/s min | median | max | flags |",
    "|" + ([range(0; 12 + ($extra | length))] | map("---|") | join(""))
    + "---|---|---|---|---|---|---|",
    (.[] | . as $row
     | "| \(.key.processor | shown | cell) | \(.key.version | shown) | \(.key.compiler | shown | cell)"
       + " | \(.key.openmp | shown | cell) | \(.key.path | shown) | \(.key.tuning | shown)"
       + " | \(.key.threads | shown) | \(.key.low)..\(.key.high) | "
       + ([$extra[] | ($row.key[.] | shown | cell) + " | "] | join(""))
       + "\(.runs) | \(.seconds | span(1)) | \(.tests | span(1e9)) | \(.comparisons | span(1e9)) | "
       + ([(if .failed > 0 then "**validation failed: \(.failed)**" else empty end),
           (if .disagree > 0 then "**checksum disagrees: \(.disagree)**" else empty end),
           (if .loaded > 0 then "loaded: \(.loaded) of \(.runs)" else empty end),
           (if .validated > 0 then "validated" else empty end)] | join(", ")) + " |")' <<<"$rows"

if [[ -n ${PLOT:-} ]]; then
  if ! command -v gnuplot >/dev/null; then
    echo "results_table.sh: gnuplot is missing (apt-get install gnuplot-nox); no plot" >&2
    exit 0
  fi
  data=$(mktemp)
  trap 'rm -f "$data"' EXIT
  # One bar pair per row, named by its machine, compiler, version, path, team and range.
  jq -r '.[] | ["\(.key.processor), \(.key.compiler), \(.key.version), \(.key.path), \(.key.threads)T, \(.key.low)..\(.key.high)",
                (.tests.median // 0) / 1e9, (.comparisons.median // 0) / 1e9] | @tsv' \
    <<<"$rows" >"$data"
  gnuplot <<EOF
set terminal pngcairo size 1400,800
set output "$PLOT"
set datafile separator "\t"
set title "friendlyNumbers: medians of each row of the results table (machine, compiler, version, path, threads, range)"
set style data histograms
set style fill solid
set ylabel "G per second"
set yrange [0:*]
set xtics rotate by -30 font ",8"
set bmargin 14
plot "$data" using 2:xtic(1) title "candidate tests", "" using 3 title "comparisons"
EOF
fi
