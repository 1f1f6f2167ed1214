#!/usr/bin/env bash
# Every C, C++ and CUDA file of the repository, tracked or new, follows the committed .clang-format.
set -euo pipefail
cd "$(dirname "$0")/../.."

mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
  '*.cpp' '*.hpp' '*.cc' '*.hh' '*.cxx' '*.h' '*.cu' | sort -u)
existing=()
for file in "${files[@]}"; do
  [[ -f "$file" ]] && existing+=("$file")
done
((${#existing[@]} > 0)) || { echo "no C++ file found" >&2; exit 1; }

echo "clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1): ${#existing[@]} files"
clang-format --dry-run -Werror "${existing[@]}"
