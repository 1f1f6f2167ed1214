# Runs friendlyNumbers_mpi through mpiexec on 1, 2 and 3 ranks and checks its output against
# friendlyNumbers of the same build: the same set of pair lines, one time line, last; one error
# line from rank 0 for a refusal or a failure, and the same statuses.
# Usage: mpi_test.sh GROUP PROGRAM MPI_PROGRAM MPIEXEC NUMPROC_FLAG [PREFLAGS...]
#   GROUP: teams (ranks x threads), edges (small, empty and 64-bit ranges, no mpiexec),
#   tcp (the between-node transport), options (report, validation, path choice, rank 0's command
#   line for every rank), failures (refusals, memory, write errors, under mpiexec too).
set -euo pipefail
group=$1 program=$2 mpi_program=$3 mpiexec=$4 numproc_flag=$5
shift 5
preflags=("$@")
extra_flags=()  # more mpiexec flags for the runs that follow

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fails the test with a message on standard error.
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs the MPI program with RANKS ranks (0: started without mpiexec) of THREADS threads on the
# remaining arguments; leaves its output in $work/out and $work/err and its status in $status.
launch() {
  local ranks=$1 threads=$2
  shift 2
  local command=("$mpi_program")
  ((ranks == 0)) ||
    command=("$mpiexec" "$numproc_flag" "$ranks" "${preflags[@]}" "${extra_flags[@]}" "$mpi_program")
  status=0
  OMP_NUM_THREADS=$threads "${command[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
}

# The sorted pair lines of the default program for LOW HIGH, computed once per range.
expected_pairs() {
  local file="$work/expected_$1_$2"
  [[ -f "$file" ]] || "$program" "$1" "$2" | grep -v '^Tempo' | sort >"$file"
  echo "$file"
}

# Checks a run of RANKS ranks of THREADS threads on LOW..HIGH: status 0, nothing on standard
# error, the default program's pair lines in any order, then exactly one time line.
check_search() {
  local ranks=$1 threads=$2 low=$3 high=$4
  local what="ranks=$ranks threads=$threads on $low..$high${FRIENDLY_KERNELS:+, path $FRIENDLY_KERNELS}${extra_flags[*]:+ (${extra_flags[*]})}"
  ((ranks > 0)) || what="one rank without mpiexec, threads=$threads on $low..$high"
  launch "$ranks" "$threads" "$low" "$high"
  [[ $status == 0 && ! -s "$work/err" ]] || fail "$what: status $status: $(cat "$work/err")"
  [[ $(grep -c 'Tempo' "$work/out") == 1 ]] || fail "$what: not exactly one time line"
  tail -n 1 "$work/out" | grep -Eqx 'Tempo total [0-9]+\.[0-9]{6} seconds' ||
    fail "$what: the last line is not the time line: $(tail -n 1 "$work/out")"
  local expected
  expected=$(expected_pairs "$low" "$high")
  head -n -1 "$work/out" | sort >"$work/pairs"
  cmp -s "$work/pairs" "$expected" ||
    fail "$what: pair lines differ from $program: $(diff "$expected" "$work/pairs" | head -n 5)"
  echo "ok: $what, $(wc -l <"$expected") pair lines"
}

# Checks that a run ended with STATUS and one line on standard error that begins with the
# program's name and holds TEXT, and printed nothing on standard output.
check_one_error() {
  local what=$1 expected_status=$2 text=$3
  [[ $status == "$expected_status" ]] || fail "$what: status $status, not $expected_status"
  [[ ! -s "$work/out" ]] || fail "$what: printed $(head -c 200 "$work/out")"
  [[ $(wc -l <"$work/err") == 1 && $(cat "$work/err") == "friendlyNumbers_mpi: "*"$text"* ]] ||
    fail "$what: standard error is not one line with '$text': $(cat "$work/err")"
  echo "ok: $what: $(cat "$work/err")"
}

case $group in
  teams)
    [[ $(wc -l <"$(expected_pairs 1 30000)") -gt 500 ]] || fail "too few pairs in 1..30000"
    for range in "1 30000" "-3000 3000"; do
      read -r low high <<<"$range"
      for ranks in 1 2 3; do
        for threads in 1 2; do
          check_search "$ranks" "$threads" "$low" "$high"
        done
      done
    done
    # Every path this processor runs, as the MPI program lists them, chosen on every rank.
    launch 1 1 --list-paths
    [[ $status == 0 && $(wc -l <"$work/out") -ge 2 ]] ||
      fail "--list-paths: status $status, $(cat "$work/out" "$work/err")"
    for path in $(cat "$work/out"); do
      FRIENDLY_KERNELS=$path check_search 2 2 1 20000
    done
    ;;
  options)
    # The report and the validation on rank 0: the work and the pairs of every rank, one JSON
    # line on standard error, the same checksum as the program's.
    OMP_NUM_THREADS=1 "$program" --report=json 1 20000 >/dev/null 2>"$work/own"
    launch 3 2 --report=json --validate 1 20000
    [[ $status == 0 && $(wc -l <"$work/err") == 1 ]] || fail "report: status $status: $(cat "$work/err")"
    for field in '"ranks":3' '"threads":2' '"validated":true' '"pairs":390' \
      "$(grep -o '"checksum":"[0-9a-f]*"' "$work/own")" \
      "$(grep -o '"candidate_tests":[0-9]*' "$work/own")"; do
      grep -qF "$field" "$work/err" || fail "report lacks $field: $(cat "$work/err")"
    done
    echo "ok: 3 ranks report and validate: $(cat "$work/err")"
    # The sieve method: the one-thread program's lines in its order on 1 to 3 ranks, then the
    # time line; validated by the factors, with the search's checksum.
    OMP_NUM_THREADS=1 "$program" -3000 30000 | head -n -1 >"$work/ordered"
    for ranks in 1 2 3; do
      launch "$ranks" 2 --method=sieve -3000 30000
      [[ $status == 0 && ! -s "$work/err" ]] || fail "sieve, $ranks ranks: $status $(cat "$work/err")"
      head -n -1 "$work/out" | cmp -s - "$work/ordered" ||
        fail "sieve, $ranks ranks: the lines differ from the one-thread program's"
      tail -n 1 "$work/out" | grep -Eqx 'Tempo total [0-9]+\.[0-9]{6} seconds' ||
        fail "sieve, $ranks ranks: the last line is not the time line"
    done
    launch 2 1 --method=sieve --report=json --validate 1 20000
    for field in '"method":"sieve"' '"validated":true' '"pairs":390' \
      "$(grep -o '"checksum":"[0-9a-f]*"' "$work/own")"; do
      grep -qF "$field" "$work/err" || fail "sieve report lacks $field: $(cat "$work/err")"
    done
    echo "ok: the sieve method on 1 to 3 ranks prints the program's lines in order, validated"
    # Ranks launched with other arguments than rank 0's follow rank 0's command line.
    status=0
    OMP_NUM_THREADS=1 "$mpiexec" "$numproc_flag" 1 "${preflags[@]}" "$mpi_program" 1 3000 : \
      "$numproc_flag" 1 "${preflags[@]}" "$mpi_program" 2 3000 >"$work/out" 2>"$work/err" ||
      status=$?
    [[ $status == 0 && ! -s "$work/err" ]] || fail "other bounds on rank 1: $status $(cat "$work/err")"
    head -n -1 "$work/out" | sort | cmp -s - "$(expected_pairs 1 3000)" ||
      fail "other bounds on rank 1: the pair lines are not those of 1..3000"
    status=0
    timeout 60 "$mpiexec" "$numproc_flag" 1 "${preflags[@]}" "$mpi_program" 1 30 : \
      "$numproc_flag" 1 "${preflags[@]}" "$mpi_program" abc 5 >"$work/out" 2>"$work/err" ||
      status=$?
    [[ $status == 0 && $(grep -c FRIENDLY "$work/out") == 3 ]] ||
      fail "a refused command line on rank 1 only: status $status: $(cat "$work/err")"
    echo "ok: rank 0's command line decides for every rank"
    # A path that this processor cannot run, or no path at all, is refused on rank 0.
    FRIENDLY_KERNELS=avx1024 launch 2 1 1 30
    check_one_error "2 ranks with FRIENDLY_KERNELS=avx1024" 2 "FRIENDLY_KERNELS 'avx1024'"
    ;;
  edges)
    check_search 2 2 10 9    # empty
    check_search 2 2 7 7     # one number
    check_search 3 1 1 10    # one chunk, two blocks: the third rank has no work at all
    check_search 3 2 1 30    # two chunks: a pair across ranks, the third rank without ratios
    check_search 0 2 1 3000  # started without mpiexec: one rank
    # 64-bit ratios: the last bound is above every 32-bit divisor sum's.
    check_search 3 1 2147483600 2147483647
    ;;
  tcp)
    # shellcheck disable=SC2054 # "self,tcp" is one argument
    extra_flags=(--mca btl self,tcp --mca btl_tcp_if_include lo)
    check_search 2 1 1 30000
    ;;
  failures)
    for args in "" "5" "abc 10" "10 8"; do
      # shellcheck disable=SC2086 # each case is a list of arguments
      launch 3 1 $args
      check_one_error "3 ranks on '$args'" 2 ""
    done
    # A refused argument is quoted as given, even where it holds the default program's usage.
    launch 2 1 '-xusage: friendlyNumbers ' 5
    check_one_error "2 ranks on an option that holds a usage" 2 \
      "unknown option '-xusage: friendlyNumbers '; usage: friendlyNumbers_mpi ["
    launch 3 1 --help
    [[ $status == 0 && $(grep -c '^usage:' "$work/out") == 1 ]] || fail "--help: $(cat "$work/out")"
    launch 2 1 -2147483648 2147483647
    check_one_error "2 ranks on the whole 32-bit range" 1 \
      "4294967296 numbers need 85899345920 bytes on each rank"
    # A team that no rank can start: 300 stacks of 8 MiB within 2 GB of address space.
    (ulimit -s 8192 -v 2000000 && launch 2 300 1 30 && echo "$status" >"$work/status")
    status=$(cat "$work/status")
    check_one_error "2 ranks of 300 threads under ulimit -v" 1 "cannot start a team of 300 threads"
    # Team counts that the runtime keeps as 0, and stacks that the pair phase would overflow.
    launch 2 4294967296 1 30
    check_one_error "2 ranks of 2^32 threads" 1 "cannot start a team of 4294967296 threads: "
    OMP_STACKSIZE=16K launch 2 2 1 30
    check_one_error "2 ranks with OMP_STACKSIZE=16K" 1 "stack too small: "
    # Limits of rank 1 alone, on rank 0's node: the refusal is rank 1's, named so.
    for limit in "-v 2000000; OMP_NUM_THREADS=300" "-v 100000;"; do
      status=0
      OMP_NUM_THREADS=2 timeout 60 "$mpiexec" "$numproc_flag" 1 "${preflags[@]}" "$mpi_program" \
        1 10000000 : "$numproc_flag" 1 "${preflags[@]}" \
        bash -c "ulimit -s 8192 $limit exec \"\$0\"" "$mpi_program" >"$work/out" 2>"$work/err" ||
        status=$?
      [[ $limit == *300 ]] && text="rank 1: cannot start a team of 300 threads: more than the" ||
        text="rank 1: range too large: 10000000 numbers need 120000000 bytes on each rank, more \
than the 102400000 bytes per rank that the address-space limit (ulimit -v) allows"
      check_one_error "rank 1 alone under ulimit $limit" 1 "$text"
    done
    status=0
    # More lines than the stream's buffer, so that writes fail while the ranks hand them over.
    OMP_NUM_THREADS=2 "$mpi_program" 1 30000 >/dev/full 2>"$work/err" || status=$?
    : >"$work/out"
    check_one_error "one rank writing to /dev/full" 1 "cannot write standard output"
    # Under mpiexec, the job's standard output lost: full, closed, or a pipe whose reader left
    # (more lines than the pipe and the reader take).
    job=("$mpiexec" "$numproc_flag" 3 "${preflags[@]}" "$mpi_program")
    for lost in full closed pipe; do
      status=0
      rm -f "$work/status"
      case $lost in
        full) OMP_NUM_THREADS=1 "${job[@]}" 1 30000 >/dev/full 2>"$work/err" || status=$? ;;
        closed) OMP_NUM_THREADS=1 "${job[@]}" 1 30000 >&- 2>"$work/err" || status=$? ;;
        pipe)
          { OMP_NUM_THREADS=1 "${job[@]}" 1 200000 2>"$work/err" || echo $? >"$work/status"; } |
            head -c 100 >/dev/null
          [[ ! -f "$work/status" ]] || status=$(cat "$work/status")
          ;;
      esac
      : >"$work/out"
      check_one_error "3 ranks writing to a $lost standard output" 1 "cannot write standard output"
    done
    # A reader that starts late: rank 0, writing to the job's pipe itself, waits for it (more
    # lines than the pipe holds, written while the reader sleeps) rather than failing.
    status=0
    rm -f "$work/status"
    { OMP_NUM_THREADS=1 "${job[@]}" 1 150000 2>"$work/err" || echo $? >"$work/status"; } |
      { sleep 3; cat; } >"$work/out"
    [[ ! -f "$work/status" ]] || status=$(cat "$work/status")
    [[ $status == 0 && ! -s "$work/err" ]] || fail "a slow reader: status $status: $(cat "$work/err")"
    head -n -1 "$work/out" | sort | cmp -s - "$(expected_pairs 1 150000)" ||
      fail "a slow reader: $(grep -c FRIENDLY "$work/out") pair lines, not those of 1..150000"
    echo "ok: a slow reader gets every line"
    # A file-size limit (ulimit -f) on mpirun stops Open MPI's own start-up, before the program
    # runs (docs/mpi.md); on the ranks only, the job ends, its lines whole, in bounded time.
    status=0
    OMP_NUM_THREADS=1 timeout 60 "${job[@]:0:${#job[@]}-1}" sh -c 'ulimit -f 1; exec "$0" "$@"' \
      "$mpi_program" 1 30000 >"$work/out" 2>/dev/null || status=$?
    [[ $status == 0 ]] || fail "ranks under ulimit -f 1: status $status (124: timed out)"
    head -n -1 "$work/out" | sort | cmp -s - "$(expected_pairs 1 30000)" ||
      fail "ranks under ulimit -f 1: the pair lines are not those of 1..30000"
    echo "ok: ranks under ulimit -f 1 end with every line"
    ;;
  *)
    fail "unknown group $group"
    ;;
esac
