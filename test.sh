#!/usr/bin/env bash
# Installs what is missing, builds (incrementally when build/ exists) and
# runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
source scripts/build.sh
qp_install_deps

status=0

# test_pass NAME DIR [cmake options...]: one build of the project in DIR and
# every test of it. A build that fails stops the script; failing tests are
# counted and the script goes on to the next pass.
test_pass() {
  local name=$1 dir=$2
  shift 2
  echo "== $name build ($dir)"
  qp_build "$dir" "$@"
  echo "== $name tests"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 300) || {
    echo "== $name tests FAILED" >&2
    status=1
  }
}

test_pass normal build

# Fuzz targets: a short run of each on its seed corpus (clang's libFuzzer).
if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh || status=1
fi
exit $status
