#!/usr/bin/env bash
# Installs what is missing, builds (incrementally when build/ exists) and
# runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qp_install_deps

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

status=0
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 300) || status=1

# Fuzz targets: a short run of each on its seed corpus (clang's libFuzzer).
if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh || status=1
fi
exit $status
