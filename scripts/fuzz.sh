#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one
# for a few seconds on a copy of its seed corpus. Non-zero on a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${QP_FUZZ_SECONDS:-10}"

cmake -S . -B build-fuzz -G Ninja -DQP_FUZZ_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 >/dev/null

status=0
for corpus in fuzz/corpus/*/; do
  name="$(basename "$corpus")"
  target="build-fuzz/bin/${name}_fuzz"
  [ -x "$target" ] || { echo "fuzz: no target for corpus $name" >&2; status=1; continue; }
  work="$(mktemp -d)"
  cp -r "$corpus". "$work/"
  if "$target" "$work" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 \
       -artifact_prefix="build-fuzz/${name}-" >"build-fuzz/${name}.log" 2>&1; then
    echo "fuzz: $name ok ($(grep -c . "build-fuzz/${name}.log") log lines)"
  else
    echo "fuzz: $name FAILED, see build-fuzz/${name}.log" >&2
    tail -30 "build-fuzz/${name}.log" >&2
    status=1
  fi
  rm -rf "$work"
done
exit $status
