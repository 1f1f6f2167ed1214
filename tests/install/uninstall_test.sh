# Runs the build tree's uninstall target after the install test (and the package test, whose
# CPack run must not make the uninstall forget the real installation) and checks that every
# installed file is gone, then does the same for a staged install.
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

# A staged install (DESTDIR) is removed from its staging root; the prefix named here does not
# exist, so a list without DESTDIR would remove nothing and leave the staged files.
stage="$prefix.staged"
rm -rf "$stage"
DESTDIR="$stage" "$cmake" --install "$build" --prefix /friendlyNumbers-staged >/dev/null ||
  fail "staged install failed"
[[ -x "$stage/friendlyNumbers-staged/bin/friendlyNumbers" ]] || fail "nothing staged in $stage"
"$cmake" --build "$build" --target uninstall || fail "the uninstall target failed"
left=$(find "$stage" \( -type f -o -type l \) | sort)
[[ -z "$left" ]] || fail "files left under $stage after uninstall: $left"
rm -rf "$stage"
echo "uninstalled the staged install from $stage"
