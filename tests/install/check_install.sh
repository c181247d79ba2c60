#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds a C host against it
# twice (CMake package, pkg-config) and runs both on a root of their own; the
# installed evtrace must see the events they wrote.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

cmake -S "$source_dir/host" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cc -o "$work/pc-host" "$source_dir/host/host.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs TraceApi) -Wl,-rpath,"$prefix/lib"

export EVTRACE_ROOT="$work/root"
"$work/cmake-host/installed_host" FromPackage
"$work/pc-host" FromPkgConfig
listing=$("$prefix/bin/evtrace" sessions)
echo "$listing"
grep -Eq 'events written +2$' <<<"$listing"
"$prefix/bin/evtrace" sessions stop "Orkan System Trace" >/dev/null
"$prefix/bin/evtrace" root destroy --all >/dev/null
