# Builds the Debian package with CPack, checks its metadata and contents, unpacks it into a
# scratch root and runs the program and reads the manual page from there.
# Usage: deb_test.sh CPACK BUILD_DIR SCRATCH VERSION SOURCE_DIR
source "$(dirname "$0")/common.sh"
require_tools dpkg-deb dpkg-parsechangelog man
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

# Contents: exactly the program, the compressed manual page, the copyright and the changelog.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
expected=$'./usr/bin/friendlyNumbers\n./usr/share/doc/friendlynumbers/changelog.gz'
expected+=$'\n./usr/share/doc/friendlynumbers/copyright\n./usr/share/man/man1/friendlyNumbers.1.gz'
[[ "$files" == "$expected" ]] || fail "unexpected files in $deb: $files"

dpkg-deb -x "$deb" "$scratch/root"
# The copyright names the licence of the tree and its holder; the changelog's last entry is this
# version, signed by the package's maintainer.
docs=$scratch/root/usr/share/doc/friendlynumbers
grep -qx 'License: MIT' "$docs/copyright" && grep -q "^Copyright: .*The friendlyNumbers developers" \
  "$docs/copyright" || fail "copyright: $(cat "$docs/copyright")"
grep -q "^ $(sed -n 5p "$sources/LICENSE")\$" "$docs/copyright" || fail "copyright lacks the licence"
gzip -dc "$docs/changelog.gz" >"$scratch/changelog"
[[ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" == "$version" ]] ||
  fail "the changelog's last entry is not version $version"
[[ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Maintainer)" == "$(dpkg-deb -f "$deb" Maintainer)" ]] ||
  fail "the changelog is not signed by the package's maintainer"
check_search "$scratch/root/usr/bin/friendlyNumbers"
check_version "$scratch/root/usr/bin/friendlyNumbers" "$version"
check_manual "$version" "$sources" -l "$scratch/root/usr/share/man/man1/friendlyNumbers.1.gz"
echo "$(basename "$deb") ($depends) unpacks, runs and has its manual page"
