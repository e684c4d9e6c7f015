#!/bin/sh
# Makes the Wine prefix the Wine tests share: once, and again only when the
# Wine version changes. Without Wine there is nothing to make (the tests say
# they skip).
prefix=$1
wine=${WINE:-wine}
if ! command -v "$wine" >/dev/null 2>&1; then
  echo "wine not found: the Wine tests will skip"
  exit 0
fi
version=$("$wine" --version 2>/dev/null)
if [ -f "$prefix/.qp-ready" ] && [ "$(cat "$prefix/.qp-ready")" = "$version" ]; then
  echo "Wine prefix $prefix is ready ($version)"
  exit 0
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A server still running in an old prefix would write into it while it goes.
[ -d "$prefix" ] && wineserver -k 2>/dev/null
rm -rf "$prefix"
start=$(date +%s)
"$wine" wineboot --init >"$prefix.log" 2>&1 </dev/null || { cat "$prefix.log"; exit 1; }
# The registry is written when the server ends.
wineserver -w
[ -f "$prefix/system.reg" ] || { cat "$prefix.log"; echo "no prefix made in $prefix"; exit 1; }
echo "$version" >"$prefix/.qp-ready"
echo "made the Wine prefix $prefix in $(( $(date +%s) - start )) s"
