#!/usr/bin/env bash
# The layer check: every quoted #include of src/, server/ and tools/ must name
# a file of its own folder or of a folder below it, in the order the README
# gives under "Layers". Prints each include that reaches upwards and exits 1
# when there is one. Reads the sources only; no build needed.
#
#   scripts/layers.sh          check the tree this script is in
set -uo pipefail
cd "$(dirname "$0")/.."

# The client, from the bottom up: a folder may include from the folders
# before it in this list, never from those after it.
client_order=(src/text src/platform src/app src/net src/serverlist src/config src/lobby src/lobby/client
              src/motd src/update src/main)

# The client's units without Qt that the server links: the text functions,
# the lobby protocol and the code page, and the records of the master list.
server_client_units='^src/text/|^src/lobby/protocol\.h$|^src/platform/codepage\.h$|^src/serverlist/serverrecords\.h$'

# The server: the core below the services; a service uses the core, never
# another service, except the web pages, which show the lobby's snapshot.
# server/main.cpp (the folder itself) is the top and may include every one.
server_uses() {   # folder -> the server folders it may include from
  case $1 in
    server/core) echo "server/core" ;;
    server/lobby | server/motd | server/list | server/moderation) echo "server/core $1" ;;
    server/web) echo "server/core server/lobby server/web" ;;
    server) echo "server server/core server/lobby server/motd server/list server/web server/moderation" ;;
    *) echo "" ;;
  esac
}

declare -A rank
for i in "${!client_order[@]}"; do rank[${client_order[$i]}]=$i; done

# Every header of the server and the tools by its name: their folders are
# include folders of their libraries, so their includes name the file only.
declare -A by_name
while IFS= read -r h; do
  by_name[${h##*/}]=$h
done < <(find server tools -type f -name '*.h')

# Resolves a quoted include of `file` to a path in the tree, as the build's
# include folders do: the file's own folder, then src/, then (for the server
# and the tools, whose folders are include folders of their libraries) a file
# of that name in one of their folders. Empty when it names no file of ours.
resolve() {   # sets `target`
  local file=$1 inc=$2
  target=
  if [[ "$inc" != *..* ]] && [ -f "${file%/*}/$inc" ]; then
    target=${file%/*}/$inc
  elif [ -f "src/$inc" ]; then
    target=src/$inc
  elif [[ "$inc" != */* ]]; then
    target=${by_name[$inc]:-}
  fi
}

violations=0
report() {
  echo "layers: $1 includes $2 ($3)"
  violations=$((violations + 1))
}

while IFS= read -r file; do
  folder=${file%/*}
  while IFS= read -r inc; do
    resolve "$file" "$inc"
    [ -n "$target" ] || continue
    tfolder=${target%/*}
    case $file in
      src/*)
        case $target in
          src/*)
            from=${rank[$folder]:--1}
            to=${rank[$tfolder]:--1}
            if [ "$from" -lt 0 ] || [ "$to" -lt 0 ]; then
              report "$file" "$target" "a folder missing from the layer order"
            elif [ "$to" -gt "$from" ]; then
              report "$file" "$target" "$tfolder is above $folder"
            fi
            ;;
          *) report "$file" "$target" "the client never uses ${target%%/*}/" ;;
        esac
        ;;
      server/*)
        case $target in
          src/*)
            [[ "$target" =~ $server_client_units ]] ||
              report "$file" "$target" "the server uses only the text functions, the protocol and the records"
            ;;
          server/*)
            allowed=" $(server_uses "$folder") "
            [[ "$allowed" == *" $tfolder "* ]] ||
              report "$file" "$target" "$folder may not use $tfolder"
            ;;
          *) report "$file" "$target" "the server never uses ${target%%/*}/" ;;
        esac
        ;;
      tools/*)
        case $target in
          src/main/*) report "$file" "$target" "the tools do not use start-up" ;;
          src/* | tools/*) ;;
          # parlevoctl reads and writes requests with parlevod's own parser.
          server/moderation/modcommand.h) ;;
          *) report "$file" "$target" "the tools use src/ and parlevod's request parser only" ;;
        esac
        ;;
    esac
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find src server tools -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

if [ "$violations" -gt 0 ]; then
  echo "layers: $violations include(s) against the layer order (README, \"Layers\")" >&2
  exit 1
fi
echo "layers: every include of src/, server/ and tools/ keeps to the layer order"
