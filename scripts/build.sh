#!/usr/bin/env bash
# The one way the scripts configure and build. Sourced by run.sh, test.sh and
# scripts/fuzz.sh.
#
# qp_build DIR [cmake options...]
#   Configures DIR and builds everything in it. A new folder gets Ninja and a
#   RelWithDebInfo build; a folder that already has a CMake cache keeps the
#   generator and build type it was made with (a plain `cmake -S . -B build`
#   makes Makefiles), so the scripts never fight the user's own build tree.
qp_build() {
  local dir=$1
  shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@" >/dev/null || return 1
  else
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null || return 1
  fi
  cmake --build "$dir" -j"$(nproc)"
}
