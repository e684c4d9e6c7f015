#!/usr/bin/env bash
# Installs what is missing, builds, starts the bundled lobby server on this
# machine and then the client, which connects to it. Closing the client
# stops the server it started.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qp_install_deps

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

server_pid=""
if [ -x build/bin/parlevod ]; then
  build/bin/parlevod --bind 127.0.0.1 --motd-file server/motd/sample-news.txt &
  server_pid=$!
  trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true' EXIT
  sleep 0.3
fi
build/bin/quillet-peer "$@"
