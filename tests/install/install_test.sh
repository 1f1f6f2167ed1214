# Installs the build tree into a scratch prefix, runs the installed program and reads its
# installed manual page through man. The uninstall test removes the installation again.
# Usage: install_test.sh CMAKE BUILD_DIR PREFIX VERSION SOURCE_DIR
source "$(dirname "$0")/common.sh"
require_tools man
cmake=$1 build=$2 prefix=$3 version=$4 sources=$5

rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" || fail "cmake --install failed"
[[ -x "$prefix/bin/friendlyNumbers" ]] || fail "no bin/friendlyNumbers under $prefix"
[[ -f "$prefix/share/man/man1/friendlyNumbers.1" ]] ||
  fail "no share/man/man1/friendlyNumbers.1 under $prefix"
[[ -f "$prefix/share/doc/friendlynumbers/copyright" && -f "$prefix/share/doc/friendlynumbers/changelog.gz" ]] ||
  fail "no copyright and changelog.gz in share/doc/friendlynumbers under $prefix"

check_search "$prefix/bin/friendlyNumbers"
check_version "$prefix/bin/friendlyNumbers" "$version"
check_manual "$version" "$sources" -M "$prefix/share/man" friendlyNumbers
echo "installed under $prefix: program and manual page work"
