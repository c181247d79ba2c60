#!/usr/bin/env bash
# The demonstration itself, run on a built tree: sets up the machine root and
# shows what is in it.
set -euo pipefail
build=${1:-build}
evtrace="$build/tools/evtrace/evtrace"
step() { printf '\n== %s\n' "$*"; }

step "Machine root"
"$evtrace" root prepare
