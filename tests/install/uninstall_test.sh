# Runs the build tree's uninstall target after the install test (and the package test, whose
# CPack run must not make the uninstall forget the real installation) and checks that every
# installed file is gone.
# Usage: uninstall_test.sh CMAKE BUILD_DIR PREFIX
source "$(dirname "$0")/common.sh"
cmake=$1 build=$2 prefix=$3

installed=$(find "$prefix" \( -type f -o -type l \) 2>/dev/null | sort)
[[ "$installed" == *"/bin/friendlyNumbers"* && "$installed" == *"/man1/friendlyNumbers.1"* ]] ||
  fail "the install test left no installation under $prefix: ${installed:-nothing}"

"$cmake" --build "$build" --target uninstall || fail "the uninstall target failed"
left=$(find "$prefix" \( -type f -o -type l \) | sort)
[[ -z "$left" ]] || fail "files left under $prefix after uninstall: $left"
rm -rf "$prefix"
echo "uninstalled: $(wc -l <<<"$installed") files removed from $prefix"
