#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the demonstration of the
# whole system on the default machine root (EVTRACE_ROOT overrides it).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
./scripts/build.sh
exec ./scripts/demo-run.sh "${BUILD_DIR:-build}"
