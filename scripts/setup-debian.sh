#!/usr/bin/env bash
# Installs what the build, the tests and the tool need on Debian 12.
set -euo pipefail
packages=(build-essential cmake pkg-config ccache libsqlite3-dev sqlite3 googletest libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev libfmt-dev nlohmann-json3-dev clang lld libclang-rt-14-dev
          g++-mingw-w64-x86-64-posix libcpp-httplib-dev chromium python3 python3-websocket
          libgnutls28-dev zlib1g-dev rsyslog rsyslog-gnutls gnutls-bin help2man dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}"
fi
