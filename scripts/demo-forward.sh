#!/usr/bin/env bash
# Forwarding to a syslog collector, demonstrated on a built tree (build folder
# as the argument): the event engine forwards to Debian's rsyslogd on
# 127.0.0.1 over TCP. The collector is down at first: the records wait in the
# engine's disk queue (`evtrace forward status` shows them), then rsyslogd
# starts and receives them in order, once each. EVTRACE_ROOT chooses the
# machine root (the session must not be running yet); the default root of
# the user is used otherwise. Without rsyslogd the demonstration says so and
# ends.
set -euo pipefail
build=${1:-build}
evtrace="$build/tools/evtrace/evtrace"
rsyslogd=/usr/sbin/rsyslogd
work=$(mktemp -d /tmp/evtrace-forward-XXXXXX)
engine=
collector=
cleanup() {
  for pid in "$engine" "$collector"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }

if [ ! -x "$rsyslogd" ]; then
  echo "demo-forward: $rsyslogd is missing: install rsyslog (scripts/setup-debian.sh does)" >&2
  exit 0
fi

# A free port on the loopback address.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/rsyslog"
cat >"$work/rsyslog.conf" <<CONF
global(workDirectory="$work/rsyslog")
module(load="imtcp")
template(name="whole" type="string" string="%rawmsg%\n")
ruleset(name="forwarded") { action(type="omfile" file="$work/received.log" template="whole") }
input(type="imtcp" address="127.0.0.1" port="$port" ruleset="forwarded")
CONF

step "The event engine forwards to tcp://127.0.0.1:$port, where no collector listens yet"
"$evtrace" root prepare
"$evtrace" engine --forward "tcp://127.0.0.1:$port" >"$work/engine.txt" 2>&1 &
engine=$!
for _ in $(seq 100); do
  grep -q "serving alerts" "$work/engine.txt" 2>/dev/null && break
  kill -0 "$engine" 2>/dev/null || { cat "$work/engine.txt"; exit 1; }
  sleep 0.1
done
cat "$work/engine.txt"

step "Providers emit three events; they wait in the engine's disk queue"
"$evtrace" emit text --name "Heronsvc" --code 0x80001001 "Link lost on wlan0"
"$evtrace" emit text --name "FleetDesk" --code 0x1003 "Roaming to a stronger access point"
"$evtrace" emit text --name "Quillwatch" --code 0x40002002 "Signal weak: -82 dBm"
sleep 1
"$evtrace" forward status

step "The collector starts: the waiting records arrive in order, once each"
"$rsyslogd" -n -f "$work/rsyslog.conf" -i "$work/rsyslogd.pid" >"$work/rsyslogd.txt" 2>&1 &
collector=$!
for _ in $(seq 150); do
  [ -f "$work/received.log" ] && [ "$(wc -l <"$work/received.log")" -ge 3 ] && break
  sleep 0.1
done
echo "-- what rsyslogd received (RFC 5424)"
cat "$work/received.log" 2>/dev/null || echo "(nothing yet: see $work/rsyslogd.txt)"
sleep 1.5  # the engine rewrites its status every second
"$evtrace" forward status

step "Stopping the engine (SIGTERM), the collector and the session"
kill -TERM "$engine"
wait "$engine" && echo "engine exit code 0"
engine=
kill -TERM "$collector"
wait "$collector" 2>/dev/null || true
collector=
"$evtrace" session stop
