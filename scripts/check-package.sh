#!/usr/bin/env bash
# Builds the Debian package of a build folder (cpack), installs it with dpkg,
# checks what it installed (evtrace --version, the man pages, the unit, the
# service's machine root, a host built with the installed CMake package and
# run), then removes and purges it and checks that it is gone. Needs the
# superuser (CI runs as root) and a machine without traceapi installed.
#
#   scripts/check-package.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=${1:-build}
if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: dpkg -i needs the superuser: run as root (CI does)" >&2
  exit 2
fi
if dpkg-query -W -f='${Status}' traceapi 2>/dev/null | grep -q "install ok installed"; then
  echo "check-package: traceapi is already installed on this machine; remove it first (dpkg --purge traceapi)" >&2
  exit 2
fi
work=$(mktemp -d)
installed=0
cleanup() {
  [ $installed -eq 1 ] && dpkg --purge traceapi >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

(cd "$build_dir" && rm -f traceapi_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/traceapi_*.deb)
echo "package: $deb ($(du -h "$deb" | cut -f1))"
dpkg-deb -I "$deb" | sed -n '/Depends:/p'

installed=1
dpkg -i "$deb"
version=$(/usr/bin/evtrace --version)
echo "$version"
expected="evtrace $(sed -n 's/^project(TraceApi VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ "${version%% (*}" = "$expected" ] ||
  fail "evtrace --version says \"$version\""
for page in evtrace evtrace-engine evtrace-forward; do
  [ -f /usr/share/man/man1/$page.1.gz ] || fail "the man page $page.1.gz is missing"
done
gzip -dc /usr/share/man/man1/evtrace-forward.1.gz | grep -q 'MaxQueueMB' || fail "evtrace-forward.1 lacks the settings"
unit=/usr/lib/systemd/system/evtrace-engine.service
for line in NoNewPrivileges=yes PrivateTmp=yes ProtectSystem=strict StateDirectory=evtrace \
            Environment=EVTRACE_ROOT=/var/lib/evtrace/machine; do
  grep -qx "$line" "$unit" || fail "$unit lacks $line"
done
# Enabled by the postinst even where systemd does not run.
[ -L /etc/systemd/system/multi-user.target.wants/evtrace-engine.service ] || fail "the service was not enabled"
[ -f /var/lib/evtrace/machine/registry.db ] || fail "the service's machine root was not set up"
EVTRACE_ROOT=/var/lib/evtrace/machine evtrace reg query 'HKLM\Software\Vanta\Wireless\EvTrace\API' >/dev/null ||
  fail "the service's root has no registry values"

# A host through the installed CMake package and pkg-config, on a root of
# its own; the installed evtrace sees its event.
cmake -S "$source_dir/tests/install/host" -B "$work/host" >/dev/null
cmake --build "$work/host" >/dev/null
export EVTRACE_ROOT="$work/root"
"$work/host/installed_host" FromPackage
cc -o "$work/pc-host" "$source_dir/tests/install/host/host.c" $(pkg-config --cflags --libs TraceApi)
"$work/pc-host" FromPkgConfig
evtrace sessions | grep -Eq 'events written +2$' || fail "the hosts' events did not reach the session"
evtrace sessions stop "Orkan System Trace" >/dev/null
evtrace root destroy --all >/dev/null
unset EVTRACE_ROOT

dpkg -r traceapi
[ ! -e /usr/bin/evtrace ] || fail "evtrace is still there after dpkg -r"
[ ! -e /usr/lib/libTraceApi.so.1 ] || fail "the library is still there after dpkg -r"
[ -d /var/lib/evtrace/machine ] || fail "dpkg -r removed the machine root (only a purge may)"
dpkg --purge traceapi
installed=0
[ ! -e /var/lib/evtrace ] || fail "/var/lib/evtrace is still there after the purge"
[ ! -e /etc/systemd/system/multi-user.target.wants/evtrace-engine.service ] ||
  fail "the service's enablement is still there after the purge"
dpkg-query -W traceapi >/dev/null 2>&1 && fail "dpkg still knows traceapi after the purge"
echo "check-package: installed, used, removed and purged"
