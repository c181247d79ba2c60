#!/usr/bin/env bash
# The demonstration, run on a built tree (build folder as the argument): sets
# up the machine root, starts the trace session, emits every kind of event
# from provider processes, watches them decoded in a consumer process, looks
# at the wire, keeps them in a binary event log and exports it, then lists
# the session's statistics and stops it. EVTRACE_ROOT chooses the root; the
# default root of the user is used otherwise.
set -euo pipefail
build=${1:-build}
evtrace="$build/tools/evtrace/evtrace"
work=$(mktemp -d /tmp/evtrace-demo-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
step() { printf '\n== %s\n' "$*"; }

step "The machine root (EVTRACE_ROOT or the default)"
"$evtrace" root prepare

step "Set-up: event databases and the registry values that find them"
"$evtrace" setup
"$evtrace" reg query 'HKLM\Software\Vanta\Wireless' /s
"$evtrace" lang

step "The trace session, started and enabled through the controller"
"$evtrace" session start
"$evtrace" session status
"$evtrace" alerts enable
"$evtrace" alerts state

step "A consumer process watches the session (and keeps what it sees); a raw consumer looks at the wire"
"$evtrace" watch --count 6 --seconds 30 --save "$work/events.bin" >"$work/watch.txt" 2>&1 &
watcher=$!
"$evtrace" trace --raw --count 1 --timeout 30 >"$work/raw.txt" 2>&1 &
raw=$!
sleep 2

step "Provider processes emit events: texts, a start marker, raw data, a connection record"
"$evtrace" emit text --name "Heronsvc" --code 0x1001 "Connected to the access point"
"$evtrace" emit start --name "Heronsvc" --code 0x1002 "Service started"
printf 'link quality 87%%' >"$work/custom.bin"
"$evtrace" emit custom --name "FleetDesk" --code 0x3004 --data-file "$work/custom.bin"
# A time-stamped connection record (type 52): event 9, a station address and
# a detail text, laid out as the 348-byte connection block.
{ printf '\x09\x00\x00\x00\x00\x1b\x2c\x3d\x4e\x5f'; head -c 42 /dev/zero; printf 'leaving BSS'
  head -c 285 /dev/zero; } >"$work/connection.bin"
"$evtrace" emit stamped --name "Mesquite" --type 52 --code 0x0005 --data-file "$work/connection.bin"
"$evtrace" emit text --name "Scaffold" --code 0x80000801 --string-a "profile Home" --count 2 --rate 10 \
  "Profile could not be applied"

wait "$watcher" || true
wait "$raw" || true
step "What the watching consumer saw, decoded"
cat "$work/watch.txt"
step "The first event as it travelled (header, fixed block, payload)"
head -n 40 "$work/raw.txt"

step "The kept events, walked with the infoset cursor, and exported as a comma-separated log"
"$evtrace" log show "$work/events.bin"
"$evtrace" log export "$work/events.bin" "$work/events.csv" --format csv
cat "$work/events.csv"

step "The machine's trace sessions with their statistics"
"$evtrace" sessions

step "Stopping the session"
"$evtrace" session stop
