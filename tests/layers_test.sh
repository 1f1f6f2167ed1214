#!/usr/bin/env bash
# The folders of src/ in layers, each above the ones it uses: a file includes only headers of its
# own folder or of a folder in a lower layer. Prints every include that runs back up.
set -euo pipefail
src=${1:?usage: layers_test.sh SRC_DIR}
# Lowest first; folders on one line share a layer and include nothing of each other.
layers=("support" "paths" "sieve search" "validate gpu" "answer" "mpi" "run" "app")
declare -A layer_of
for k in "${!layers[@]}"; do
  for folder in ${layers[$k]}; do layer_of[$folder]=$k; done
done
status=0
for file in "$src"/*/*; do
  folder=$(basename "$(dirname "$file")")
  [[ -n "${layer_of[$folder]+set}" ]] || { echo "$file: folder $folder has no layer"; status=1; continue; }
  while read -r included; do
    target=${included%%/*}
    [[ -n "${layer_of[$target]+set}" ]] || continue
    if [[ $target != "$folder" && ${layer_of[$target]} -ge ${layer_of[$folder]} ]]; then
      echo "$file includes $included: $target is not below $folder"
      status=1
    fi
  done < <(sed -n 's/^#include "\([a-z_]*\/[^"]*\)".*/\1/p' "$file")
done
exit $status
