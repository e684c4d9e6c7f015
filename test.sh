#!/usr/bin/env bash
# Installs what is missing, builds (incrementally when the build folders
# exist) and runs every test: first the normal build in build/, then the same
# suite built with clang under AddressSanitizer, UndefinedBehaviorSanitizer
# and the standard library's assertions in build-asan/, with leak detection;
# then a short run of each fuzz target. Exits non-zero on any failure.
#
#   ./test.sh           everything
#   ./test.sh --quick   without the sanitizer pass, for local iteration
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
source scripts/build.sh

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
  esac
done

qp_install_deps test

status=0

# The includes keep to the layer order (README, "Layers"); no build needed.
echo "== layers"
scripts/layers.sh || status=1

# test_pass NAME DIR [cmake options...]: one build of the project in DIR and
# every test of it. A build that fails stops the script; failing tests are
# counted and the script goes on to the next pass.
test_pass() {
  local name=$1 dir=$2
  shift 2
  local start=$SECONDS
  echo "== $name build ($dir)"
  qp_build "$dir" "$@"
  echo "== $name tests"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600) || {
    echo "== $name tests FAILED" >&2
    status=1
  }
  echo "== $name pass took $((SECONDS - start)) s"
}

test_pass normal build

if [ "$quick" -eq 0 ]; then
  # Every test again, the programs it starts (parlevod, the client) included,
  # with memory errors, undefined behaviour, failed library assertions and
  # leaks turned into failures. The suppressions are for Qt and the font
  # libraries only; each line says why.
  sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=0"
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  test_pass sanitizer build-asan \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$sanitizers -D_GLIBCXX_ASSERTIONS" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" \
    -DQP_BUILD_BENCH=OFF -DQP_BUILD_FUZZ=OFF
  unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
fi

# Fuzz targets: a short run of each on its seed corpus (clang's libFuzzer).
if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh || status=1
fi
exit $status
