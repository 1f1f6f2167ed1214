# Fails when an object file of an instruction-set path defines a weak, COMDAT or unique symbol
# (nm types W, w, V, v, u): such a definition is an inline function or variable that other
# objects may define too, and the linker keeps one copy for all of them, possibly this path's.
# Usage: path_objects_test.sh NM OBJECT...
set -euo pipefail
nm_tool=$1
shift
(($# > 0)) || { echo "no object file given" >&2; exit 1; }

failed=0
for object in "$@"; do
  symbols=$("$nm_tool" --defined-only "$object")
  # A listing without the path's kernels would make the check vacuous.
  grep -q ' T ' <<<"$symbols" || { echo "$object: no function defined" >&2; exit 1; }
  # The compiler's own reference to the exception personality routine is weak data in every
  # object with unwind tables, the same everywhere and no code.
  shared=$(awk 'NF >= 2 && $(NF - 1) ~ /^[WwVvu]$/ && $NF != "DW.ref.__gxx_personality_v0"' \
    <<<"$symbols")
  if [[ -n "$shared" ]]; then
    echo "$object defines symbols that other objects may share:" >&2
    c++filt <<<"$shared" >&2 2>/dev/null || echo "$shared" >&2
    failed=1
  else
    echo "$object: no weak, COMDAT or unique symbol"
  fi
done
exit "$failed"
