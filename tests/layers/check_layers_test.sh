#!/usr/bin/env bash
# The layering check on temporary copies of the library's sources: it passes
# on the tree as it stands, and fails, naming the file, for each way of
# breaking the order.
set -euo pipefail
source_dir=$1
check="$source_dir/scripts/check-layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fresh_copy() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  cp -r "$source_dir/src" "$work/tree/src"
}

failures=0
expect() {  # expect <pass|fail> <what> [text the report must hold]
  local want=$1 what=$2 needle=${3:-}
  local status=0
  bash "$check" "$work/tree" >"$work/out" 2>&1 || status=$?
  if [ "$want" = pass ] && [ "$status" -ne 0 ]; then
    echo "FAIL: $what: the check failed:"; cat "$work/out"; failures=$((failures + 1))
  elif [ "$want" = fail ] && [ "$status" -ne 1 ]; then
    echo "FAIL: $what: the check exited $status, expected 1:"; cat "$work/out"; failures=$((failures + 1))
  elif [ -n "$needle" ] && ! grep -qF -- "$needle" "$work/out"; then
    echo "FAIL: $what: the report does not say \"$needle\":"; cat "$work/out"; failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}

fresh_copy
expect pass "the tree as it stands"

# The bottom layer includes the top one.
fresh_copy
bottom=$(ls "$work/tree/src/frame/"*.cpp | head -1)
echo '#include "consumer/EvTraceConsumer.h"' >>"$bottom"
expect fail "the ground floor including the consumer" "src/frame/$(basename "$bottom")"

# The listener names the consumer again (a header, spaced out).
fresh_copy
echo '#  include   "consumer/EvTraceConsumer.h"' >>"$work/tree/src/listener/ConsumerSink.h"
expect fail "the listener including the consumer" "src/listener/ConsumerSink.h"

# A relative path around the check.
fresh_copy
echo '#include "../consumer/EvTraceConsumer.h"' >>"$bottom"
expect fail "a relative include" "relative path"

# A folder that is not a layer.
fresh_copy
mkdir "$work/tree/src/newarea" && echo 'int x;' >"$work/tree/src/newarea/New.cpp"
expect fail "a folder missing from the list" "src/newarea: not a layer"

# An include of something that is no layer.
fresh_copy
echo '#include "nowhere/Thing.h"' >>"$bottom"
expect fail "an include of no layer" "nowhere is not a layer"

# Downward and same-folder includes stay allowed.
fresh_copy
echo '#include "frame/EvLocks.h"' >>"$work/tree/src/consumer/EvFileSource.cpp"
echo '#include "ConsumerSink.h"' >>"$work/tree/src/listener/EvDataQueue.cpp"
expect pass "includes of lower layers and of the same folder"

[ "$failures" -eq 0 ]
