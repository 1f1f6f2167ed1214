# Builds the Debian package with CPack, checks its metadata and contents, unpacks it into a
# scratch root and runs the program and reads the manual page from there.
# Usage: deb_test.sh CPACK BUILD_DIR SCRATCH VERSION SOURCE_DIR
source "$(dirname "$0")/common.sh"
require_tools dpkg-deb man
cpack=$1 build=$2 scratch=$3 version=$4 sources=$5

rm -rf "$scratch"
mkdir -p "$scratch"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  fail "cpack failed: $(cat "$scratch/cpack.log")"
debs=("$scratch"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}

# Metadata: name, version, dependencies (the OpenMP runtime above all), maintainer.
[[ "$(dpkg-deb -f "$deb" Package)" == friendlynumbers ]] || fail "package name of $deb"
[[ "$(dpkg-deb -f "$deb" Version)" == "$version" ]] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
dependencies=$(sed 's/ *([^)]*)//g; s/ *, */\n/g' <<<"$depends")
for library in libc6 libstdc++6 'libgomp1\|libomp[0-9.-]*'; do
  grep -qx "$library" <<<"$dependencies" || fail "Depends ($depends) lacks $library"
done
[[ "$(dpkg-deb -f "$deb" Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
  fail "Maintainer is not 'name <address>'"

# Contents: exactly the program and the compressed manual page.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
[[ "$files" == $'./usr/bin/friendlyNumbers\n./usr/share/man/man1/friendlyNumbers.1.gz' ]] ||
  fail "unexpected files in $deb: $files"

dpkg-deb -x "$deb" "$scratch/root"
check_search "$scratch/root/usr/bin/friendlyNumbers"
check_version "$scratch/root/usr/bin/friendlyNumbers" "$version"
check_manual "$version" "$sources" -l "$scratch/root/usr/share/man/man1/friendlyNumbers.1.gz"
echo "$(basename "$deb") ($depends) unpacks, runs and has its manual page"
