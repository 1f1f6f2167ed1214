#!/usr/bin/env bash
# Static analysis of every C++ source of src, tests, fuzz and bench, with the compile database of a
# clang configuration that enables every target, friendlyNumbers_mpi's included (Open MPI):
# clang-tidy with the committed .clang-tidy, then cppcheck (warnings, performance, portability)
# over the same translation units and their headers.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-rel-lint

# Configure only: the compile database is all the analysis needs.
benchmarks=OFF
[[ -f bench/CMakeLists.txt ]] && benchmarks=ON
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DFRIENDLY_BUILD_FUZZERS=ON \
  -DFRIENDLY_MPI=ON -DFRIENDLY_BUILD_BENCHMARKS="$benchmarks" > "$build/configure.log" ||
  { cat "$build/configure.log"; exit 1; }

# Every source file must be compiled by some target, or it would escape the analysis.
mapfile -t sources < <(git ls-files --cached --others --exclude-standard -- \
  'src/*.cpp' 'tests/*.cpp' 'fuzz/*.cpp' 'bench/*.cpp' | sort -u)
((${#sources[@]} > 0)) || { echo "no source found" >&2; exit 1; }
missing=0
for source in "${sources[@]}"; do
  [[ -f "$source" ]] || continue
  if ! grep -qF "\"file\": \"$PWD/$source\"" "$build/compile_commands.json"; then
    echo "$source is in no target of the build, so it cannot be analysed" >&2
    missing=1
  fi
done
((missing == 0))

# Both tools run even when the first finds something; either one failing fails the check.
failed=0
start=$SECONDS
echo "clang-tidy $(clang-tidy --version | grep -o '[0-9][0-9.]*' | head -1): ${#sources[@]} files"
printf '%s\n' "${sources[@]}" |
  xargs -P 2 -I{} sh -c '[ ! -f "$1" ] || clang-tidy -p "$2" --quiet "$1" 2>/dev/null' _ {} "$build" ||
  failed=1
echo "clang-tidy: $((SECONDS - start)) s"

# Suppressions:
#   shiftTooManyBitsSigned   C++20 defines shifts of signed values (two's complement), which the
#                            AVX2-free kernels use to spread a sign bit over a lane
start=$SECONDS
cppcheck --version
cppcheck --project="$build/compile_commands.json" --enable=warning,performance,portability \
  --library=googletest --library=openmp --inline-suppr --error-exitcode=1 --quiet -j 2 \
  --suppress=shiftTooManyBitsSigned \
  --template='{file}:{line}: {severity}: {message} [{id}]' || failed=1
echo "cppcheck: $((SECONDS - start)) s"
exit "$failed"
