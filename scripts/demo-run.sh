#!/usr/bin/env bash
# The demonstration, run on a built tree (build folder as the argument): sets
# up the machine root, starts the event engine (which starts the trace
# session), emits every kind of event from provider processes, watches them
# decoded in a consumer process, looks at the wire, keeps them in a binary
# event log and exports it; then the alert road: providers raise alerts, a
# waiting client wakes for each, the user's history lists them newest first,
# help and hints come from the event database; a live snapshot of the
# engine; the unified log: lines of several components at their levels, a
# level changed while the engine runs, a rotation; finally the session's
# statistics, the engine stopped by SIGTERM and the session stopped. EVTRACE_ROOT chooses the root; the default root
# of the user is used otherwise.
set -euo pipefail
build=${1:-build}
evtrace="$build/tools/evtrace/evtrace"
work=$(mktemp -d /tmp/evtrace-demo-XXXXXX)
engine=""
trap '[ -n "$engine" ] && kill "$engine" 2>/dev/null; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
step() { printf '\n== %s\n' "$*"; }

step "The machine root (EVTRACE_ROOT or the default)"
"$evtrace" root prepare

step "Set-up: event databases and the registry values that find them"
"$evtrace" setup
"$evtrace" reg query 'HKLM\Software\Vanta\Wireless' /s
"$evtrace" lang

step "The event engine, in the background: it starts and enables the session through the controller"
"$evtrace" engine >"$work/engine.txt" 2>&1 &
engine=$!
for _ in $(seq 1 100); do
  grep -q "serving alerts" "$work/engine.txt" 2>/dev/null && break
  sleep 0.1
done
cat "$work/engine.txt"
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

step "The alerts the event database knows, with domain and severity"
"$evtrace" alerts list

step "A client waits for alerts (as the tray program does); provider processes raise three"
"$evtrace" alerts wait --count 3 --timeout 30 >"$work/alerts.txt" 2>&1 &
waiter=$!
sleep 1
"$evtrace" emit text --name "Heronsvc" --code 0x1001 "Scan finished (not an alert)"
"$evtrace" emit text --name "Heronsvc" --code 0x80000001 --string-a "HomeNet" "Connection lost"
"$evtrace" emit text --name "Quillwatch" --code 0x80001001 --string-a "CorpNet" "Authentication failed"
"$evtrace" emit text --name "Heronsvc" --code 0x80000803 --string-a "HomeNet" "Signal below the threshold"
wait "$waiter" || true
cat "$work/alerts.txt"

step "The user's alert history, newest first (kept across restarts in AlertHistory.bin)"
"$evtrace" alerts history

step "Context help and hints for the first alert, in the user's language"
"$evtrace" alerts help 0x80000001
"$evtrace" alerts hints 0x80000001

step "The registered providers"
"$evtrace" providers

step "A live snapshot of the engine's queue (the engine answers by writing it; about 10 s)"
"$evtrace" snapshot

step "The unified log: switched on, levels per component (the running engine follows the registry)"
"$evtrace" unified on
"$evtrace" unified level Heronsvc ERROR,WARN,INFO
"$evtrace" unified level Quillwatch ERROR
"$evtrace" unified level "Harbor Gate" 0x3f
sleep 0.5

step "Components write lines of several levels (those their levels refuse, and unknown components, are not logged)"
"$evtrace" emit ul INFO "Scan started on 11 channels" --name Heronsvc
"$evtrace" emit ul DEBUG "Probe response from 00:1b:2c:3d:4e:5f (DEBUG is off for Heronsvc)" --name Heronsvc
"$evtrace" emit ul WARN "Profile store slow (WARN is off for Quillwatch)" --name Quillwatch
"$evtrace" emit ul ERROR "Profile store could not be read" --name Quillwatch
"$evtrace" emit ul DEBUG "Gateway lease renewed" --name "Harbor Gate" --formatted
"$evtrace" emit ul ERROR "An unknown component is never logged" --name Nobody
sleep 0.5
"$evtrace" unified tail -n 10

step "A level changed while the engine runs: Quillwatch's warnings are logged from now on"
"$evtrace" unified level Quillwatch ERROR,WARN
sleep 0.5
"$evtrace" emit ul WARN "Profile store slow" --name Quillwatch
sleep 0.5
"$evtrace" unified tail -n 2

step "Rotation: past 5 MiB the log becomes OrkanLog-Backup.log, with a numbered copy when asked for"
"$evtrace" unified on --numbered-copies
sleep 0.5
"$evtrace" emit ul ERROR "$(printf 'x%.0s' $(seq 1 1000))" --name Quillwatch --count 5100 --retry
sleep 1
log_dir="$("$evtrace" root show)/drives/c/Program Files/Vanta/Wireless/UnifiedLogging"
ls -l "$log_dir"
"$evtrace" unified status | head -5

step "The machine's trace sessions with their statistics"
"$evtrace" sessions

step "Stopping the engine (SIGTERM) and the session"
kill -TERM "$engine"
wait "$engine" && echo "engine exit code 0"
engine=""
cat "$work/engine.txt"
"$evtrace" session stop

# The event-viewer CSV logs: a day file, a roll-over and a retention pass,
# with an engine of their own on the same machine root.
"$(dirname "$0")/demo-csvlog.sh" "$build"

# Forwarding to a syslog collector that is down at first, then up.
"$(dirname "$0")/demo-forward.sh" "$build"
