# Shared by the install tests (sourced): tool checks, and the checks of an installed program and
# of its installed manual page.
set -euo pipefail
export LC_ALL=C MANWIDTH=80

# The lines that the program prints for 1..200, in any order before the time line.
readonly EXPECTED_PAIRS='1 and 28 are FRIENDLY 
1 and 6 are FRIENDLY 
30 and 140 are FRIENDLY 
6 and 28 are FRIENDLY 
80 and 200 are FRIENDLY '

# Fails the test with a message on standard error.
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Ensures that every named tool exists; without one, skips the test (status 77), except under CI,
# where every tool is installed from .ci/packages and a missing one fails.
require_tools() {
  local tool
  for tool; do
    command -v "$tool" >/dev/null && continue
    [[ "${CI:-}" == true ]] && fail "$tool is missing (listed in .ci/packages?)"
    echo "SKIP: $tool is missing" >&2
    exit 77
  done
}

# Runs program on 1..200 and checks its five pair lines, then the time line, and status 0.
check_search() {
  local program=$1 output
  output=$("$program" 1 200) || fail "$program 1 200 exited with status $?"
  [[ "$(head -n -1 <<<"$output" | sort)" == "$EXPECTED_PAIRS" ]] ||
    fail "pair lines of $program 1 200 differ: $output"
  [[ "$(tail -n 1 <<<"$output")" =~ ^Tempo\ total\ [0-9]+\.[0-9]{6}\ seconds$ ]] ||
    fail "last line of $program 1 200 is not the time line: $output"
}

# Checks that program --version prints "friendlyNumbers VERSION" with status 0.
check_version() {
  local program=$1 version=$2 output
  output=$("$program" --version) || fail "$program --version exited with status $?"
  [[ "$output" == "friendlyNumbers $version" ]] || fail "$program --version printed: $output"
}

# Renders the manual page with man (a file, or a name looked up in a man directory given as
# "-M dir") and checks its title, sections and line formats against the program's sources.
check_manual() {
  local version=$1 sources=$2 page name format section
  shift 2
  page=$(man "$@" 2>&1) || fail "man $* failed: $page"
  [[ "$page" == *"friendlyNumbers - search a range of integers for friendly pairs"* ]] ||
    fail "man $* lacks the NAME line"
  [[ "$(tail -n 1 <<<"$page")" == "friendlyNumbers $version "* ]] ||
    fail "man $* does not end with the version $version"
  for section in NAME SYNOPSIS DESCRIPTION OUTPUT "EXIT STATUS" ENVIRONMENT NOTES EXAMPLES; do
    grep -qx "$section" <<<"$page" || fail "man $* lacks the section $section"
  done
  # Both line formats, exactly as the program prints them.
  for name in kPairFormat kTimeFormat; do
    format=$(sed -n "s/.*$name = \(\".*\"\);/\1/p" "$sources"/src/*/*.hpp)
    [[ -n "$format" ]] || fail "no $name in $sources/src"
    grep -qF -- "$format" <<<"$page" || fail "man $* lacks the format $format"
  done
}
