#!/usr/bin/env bash
# The event-viewer CSV logs, demonstrated on a built tree (build folder as the
# argument): the event engine runs with its data queue, the logging settings
# are switched on in the registry (`evtrace csvlog`), provider processes emit
# events, and the logs show a day file with its header and numbered rows, a
# roll-over to a numbered file at the size limit, and a retention pass that
# moves the rolled-over file to an archive folder. EVTRACE_ROOT chooses the
# machine root (the session must not be running yet); the default root of
# the user is used otherwise.
set -euo pipefail
build=${1:-build}
evtrace="$build/tools/evtrace/evtrace"
work=$(mktemp -d /tmp/evtrace-csvlog-XXXXXX)
engine=
cleanup() {
  if [ -n "$engine" ] && kill -0 "$engine" 2>/dev/null; then
    kill -INT "$engine" 2>/dev/null || true
    wait "$engine" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
# Emits with `evtrace emit text`; events the session refuses (the engine fell
# behind) are counted by emit and reported here, not fatal to the demonstration.
emit() { "$evtrace" emit text --quiet "$@" || echo "(emit: some events were refused by the session)"; }

if ! "$evtrace" engine --help >/dev/null 2>&1; then
  echo "demo-csvlog: this tree has no event engine (evtrace engine), which hosts the data queue that writes the" \
       "CSV logs; build a tree that has it" >&2
  exit 2
fi

root=$("$evtrace" root show)
logs="$root/drives/c/EventViewer"
archive="$root/drives/c/EventViewerArchive"
listing() { (cd "$1" 2>/dev/null && ls -l --time-style=+ | tail -n +2) || echo "(no folder $1)"; }

step "The machine root and its registry values"
"$evtrace" root prepare
"$evtrace" setup >/dev/null

step "The CSV logging settings: off until enabled; 1 MiB per day file"
"$evtrace" csvlog set LogFolder 'C:\EventViewer'
"$evtrace" csvlog set MaxFileSizeMB 1
"$evtrace" csvlog status

step "The event engine starts (it reads the settings now and whenever they change)"
"$evtrace" engine >"$work/engine.txt" 2>&1 &
engine=$!
for _ in $(seq 1 200); do
  grep -q 'serving' "$work/engine.txt" 2>/dev/null && break
  kill -0 "$engine" 2>/dev/null || { cat "$work/engine.txt"; exit 1; }
  sleep 0.1
done
cat "$work/engine.txt"

step "Logging on; a provider process emits 450 events: two batches of 200 are written, 50 wait for the next"
"$evtrace" csvlog enable
sleep 1
emit --name "Heronsvc" --code 0x1001 --count 450 --rate 5000 "Connected to the access point"
sleep 1
listing "$logs"
day=$(ls "$logs"/*.csv | grep -v '@' | head -n 1)
echo "-- $(basename "$day"): the header and the first rows"
head -n 4 "$day"
echo "-- its last rows"
tail -n 2 "$day"

step "6,000 longer events: the day file reaches 1 MiB, rolls over to @1 and a fresh day file starts at row 1"
emit --name "FleetDesk" --code 0x80000801 --count 6000 --rate 5000 \
  "Profile could not be applied: $(printf 'the access point refused the association; %.0s' 1 2 3 4)"
sleep 2
listing "$logs"
echo "-- the fresh day file"
head -n 3 "$day"

step "Extended rules: copy after every batch into an archive and move the older files there"
"$evtrace" csvlog set ExtLogFolder 'C:\EventViewer'
"$evtrace" csvlog set ExtMaxFileSizeMB 1
"$evtrace" csvlog set ExtCopyFolder 'C:\EventViewerArchive'
"$evtrace" csvlog set ExtCopyFlags 1
"$evtrace" csvlog set ExtDeleteFlags 4
"$evtrace" csvlog set UseExtended 1
sleep 1
emit --name "Heronsvc" --code 0x1003 --count 200 --rate 5000 "Roaming to a stronger access point"
sleep 1
echo "-- the log folder keeps only the current day file"
listing "$logs"
echo "-- the archive holds the rolled-over file"
listing "$archive"

step "The engine stops; the events still pending are written first"
kill -INT "$engine"
wait "$engine" || true
engine=
tail -n 1 "$day"
"$evtrace" csvlog status | tail -n 2
"$evtrace" csvlog disable
