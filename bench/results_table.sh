#!/usr/bin/env bash
# One table of both phases' rates per processor, path, tuning and team size, from the
# `--report=json` lines of runs gathered on several machines (files, or standard input): the
# median of each group's runs, and their count. With PLOT=FILE.png, and where gnuplot is
# installed (Debian package gnuplot-nox), also a bar chart of the medians; without gnuplot the
# plot is skipped, saying so. Needs jq.
#
#   bench/results_table.sh [REPORT_FILE...] > table.md
#
# Lines that are not a report of friendlyNumbers or friendlyNumbers_mpi are ignored. Settings:
# HIGH (only runs of ranges that end at HIGH), PLOT.
set -euo pipefail

command -v jq >/dev/null || {
  echo "results_table.sh: jq is missing (apt-get install jq)" >&2
  exit 1
}

rows=$(cat "$@" | jq -R -r --arg high "${HIGH:-}" '
  fromjson? | select(type == "object" and (.program // "" | startswith("friendlyNumbers")))
  | select($high == "" or (.high | tostring) == $high)
  | [.processor, .path, (.tuning // "-"), .threads, .low, .high,
     .tests_per_second, .comparisons_per_second] | @tsv' |
  sort -t$'\t' -k1,1 -k2,2 -k3,3 -k4,4n -k6,6n)
[[ -n $rows ]] || {
  echo "results_table.sh: no report lines in the input" >&2
  exit 1
}

# Medians per processor, path, tuning, threads and range.
medians=$(awk -F'\t' '
  function median(list, count,   values, i, j, t) {
    split(list, values, " ")
    for (i = 1; i <= count; ++i)
      for (j = i + 1; j <= count; ++j)
        if (values[j] + 0 < values[i] + 0) { t = values[i]; values[i] = values[j]; values[j] = t }
    return count % 2 ? values[(count + 1) / 2] : (values[count / 2] + values[count / 2 + 1]) / 2
  }
  {
    key = $1 "\t" $2 "\t" $3 "\t" $4 "\t" $5 ".." $6
    if (!(key in count)) order[++keys] = key
    tests[key] = tests[key] " " $7
    comparisons[key] = comparisons[key] " " $8
    ++count[key]
  }
  END {
    for (k = 1; k <= keys; ++k) {
      key = order[k]
      printf "%s\t%.4g\t%.4g\t%d\n", key, median(tests[key], count[key]),
             median(comparisons[key], count[key]), count[key]
    }
  }' <<<"$rows")

echo "| processor | path | tuning | threads | range | candidate tests/s | comparisons/s | runs |"
echo "|---|---|---|---|---|---|---|---|"
awk -F'\t' '{printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6, $7, $8}' \
  <<<"$medians"

if [[ -n ${PLOT:-} ]]; then
  if ! command -v gnuplot >/dev/null; then
    echo "results_table.sh: gnuplot is missing (apt-get install gnuplot-nox); no plot" >&2
    exit 0
  fi
  data=$(mktemp)
  trap 'rm -f "$data"' EXIT
  awk -F'\t' '{printf "\"%s %s %s %sT\"\t%s\t%s\n", $1, $2, $3, $4, $6 / 1e9, $7 / 1e9}' \
    <<<"$medians" >"$data"
  gnuplot <<EOF
set terminal pngcairo size 1200,600
set output "$PLOT"
set style data histograms
set style fill solid
set ylabel "G per second"
set xtics rotate by -30
plot "$data" using 2:xtic(1) title "candidate tests", "" using 3 title "comparisons"
EOF
fi
