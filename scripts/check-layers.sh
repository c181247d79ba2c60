#!/usr/bin/env bash
# Checks the library's layering: every folder of src/ is a layer listed in
# TRACEAPI_LAYERS (src/CMakeLists.txt, bottom to top), and a file of a layer
# includes headers ("folder/file.h") of its own layer and of layers below it
# only. Prints each include that breaks the order and exits 1; exits 0 when
# none does.
#
#   scripts/check-layers.sh [SOURCE_DIR]     (default: this checkout)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
src="$root/src"
lists="$src/CMakeLists.txt"
[ -f "$lists" ] || { echo "check-layers: $lists not found: give the source tree as the argument" >&2; exit 2; }

# The list: the lines between "set(TRACEAPI_LAYERS" and ")", comments dropped.
mapfile -t layers < <(awk '
  /^set\(TRACEAPI_LAYERS/ { inside = 1; next }
  inside && /^\)/ { exit }
  inside { sub(/#.*/, ""); for (i = 1; i <= NF; i++) print $i }' "$lists")
[ ${#layers[@]} -gt 0 ] || { echo "check-layers: no TRACEAPI_LAYERS list in $lists" >&2; exit 2; }

declare -A rank=()
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

failures=0
fail() {
  echo "$1" >&2
  failures=$((failures + 1))
}

for dir in "$src"/*/; do
  name=$(basename "$dir")
  [ -n "${rank[$name]+set}" ] || fail "src/$name: not a layer: list it in TRACEAPI_LAYERS (src/CMakeLists.txt) at its place"
done

for layer in "${layers[@]}"; do
  [ -d "$src/$layer" ] || { fail "src/$layer: listed in TRACEAPI_LAYERS but missing"; continue; }
  own=${rank[$layer]}
  allowed=$(IFS=' '; echo "${layers[*]:0:$((own + 1))}")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
    where="src/${file#"$src"/}:$line"
    case $target in
      */*) ;;
      *) continue ;;  # a header beside the file: its own layer
    esac
    folder=${target%%/*}
    if [ "$folder" = ".." ] || [ "$folder" = "." ]; then
      fail "$where: includes \"$target\": name headers by their layer's folder (\"folder/File.h\"), not by a relative path"
    elif [ -z "${rank[$folder]+set}" ]; then
      fail "$where: includes \"$target\": $folder is not a layer of the library"
    elif [ "${rank[$folder]}" -gt "$own" ]; then
      fail "$where: includes \"$target\": $layer may include only $allowed ($folder is above it)"
    fi
  done < <(grep -rnE --include='*.h' --include='*.cpp' --include='*.c' \
             '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$src/$layer" || true)
done

if [ "$failures" -gt 0 ]; then
  echo "check-layers: $failures include(s) or folder(s) break the layering (order, bottom to top: ${layers[*]})" >&2
  exit 1
fi
echo "check-layers: ${#layers[@]} layers, bottom to top: ${layers[*]}; no folder includes one above it"
