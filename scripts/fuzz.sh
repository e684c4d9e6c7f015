#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one
# for a few seconds on a copy of its seed corpus. Non-zero on a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build.sh
seconds="${QP_FUZZ_SECONDS:-10}"

# Quiet while it works; the whole compiler output when the build fails.
build_log="$(mktemp)"
if ! qp_build build-fuzz -DQP_FUZZ_ONLY=ON -DCMAKE_CXX_COMPILER=clang++ >"$build_log" 2>&1; then
  echo "fuzz: the build in build-fuzz failed:" >&2
  cat "$build_log" >&2
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"

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
