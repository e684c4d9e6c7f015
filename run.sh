#!/usr/bin/env bash
# Installs what is missing, builds, starts the bundled lobby server on this
# machine and then the client, which connects to it. The server goes when the
# client ends, also on Ctrl-C; if it cannot start (its port in use, say), the
# script says so and stops.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
source scripts/build.sh
qp_install_deps run
qp_build build

server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# parlevod prints "lobby ADDRESS PORT" on its standard output once it
# listens, and ends with a message on standard error when it cannot.
fifo_dir="$(mktemp -d)"
mkfifo "$fifo_dir/out"
build/bin/parlevod --bind 127.0.0.1 --motd-file server/motd/sample-news.txt >"$fifo_dir/out" &
server_pid=$!
exec 3<"$fifo_dir/out"
rm -rf "$fifo_dir"
ready=""
while IFS= read -r -t 10 -u 3 line; do
  case "$line" in
    "lobby "*) ready="${line#lobby }"; break ;;
  esac
done
if [ -z "$ready" ]; then
  echo "run.sh: parlevod did not start (see its message above; is port 29001 already in use?)" >&2
  exit 1
fi
echo "run.sh: parlevod listens on ${ready/ /:}; starting the client"
build/bin/quillet-peer "$@" 3<&-
