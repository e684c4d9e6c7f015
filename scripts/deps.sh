#!/usr/bin/env bash
# Installs the Debian packages the project needs when any is missing.
# Sourced by run.sh and test.sh. It never stops or removes anything that was
# there before.
#
# qp_install_deps run    what building and running the client and parlevod need
# qp_install_deps test   that, and the programs the tests talk to
#
# The tests start their own servers (nginx, vsftpd, tinyproxy, dante, ngircd,
# ...) on free ports. Their packages would start and enable system services
# on installing, so the test list goes in with starting services refused
# (a temporary /usr/sbin/policy-rc.d that answers 101), and the services of
# every package that came in are disabled afterwards.

qp_build_packages=(cmake ninja-build g++ qt6-base-dev libgl-dev libboost-dev libgtest-dev libgmock-dev
                   libbenchmark-dev liburing-dev libsodium-dev libsqlite3-dev pkg-config netbase fonts-dejavu-core)
qp_test_packages=(iproute2 iptables clang libclang-rt-14-dev
                  xvfb xauth imagemagick openbox xdotool dbus-daemon ngircd
                  nginx-light python3 tinyproxy microsocks dante-server curl qstat
                  python3-pyftpdlib vsftpd sqlite3 wine wine64 gcc-mingw-w64-x86-64
                  dpkg-dev lintian man-db systemd desktop-file-utils chromium python3-prometheus-client)

# The names of the installed packages, sorted.
qp_installed_packages() {
  dpkg-query -W -f='${db:Status-Status} ${binary:Package}\n' 2>/dev/null | awk '$1 == "installed" { print $2 }' | sort -u
}

qp_install_deps() {
  local need=("${qp_build_packages[@]}")
  case "${1:-run}" in
    run) ;;
    test) need+=("${qp_test_packages[@]}") ;;
    *) echo "qp_install_deps: run or test, not $1" >&2; return 2 ;;
  esac
  local missing=()
  for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  # In a subshell, so its traps put policy-rc.d back also when the install
  # fails or is interrupted.
  (
    set -e
    policy=/usr/sbin/policy-rc.d
    saved=""
    before="$(mktemp)"
    restore() {
      if [ -n "$saved" ]; then
        $sudo mv -f "$saved" "$policy"
      else
        $sudo rm -f "$policy"
      fi
      rm -f "$before"
    }
    trap restore EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    if [ -e "$policy" ]; then
      saved="$($sudo mktemp)"
      $sudo cp -p "$policy" "$saved"
    fi
    printf '#!/bin/sh\n# Quillet Peer scripts/deps.sh: no service starts while it installs packages.\nexit 101\n' |
      $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    qp_installed_packages >"$before"

    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

    # Every package that came in, dependencies included (nginx's service is
    # in nginx-common, say): its services are disabled, so none starts at the
    # next boot either.
    qp_installed_packages | comm -13 "$before" - |
      while read -r pkg; do
        dpkg-query -L "$pkg" 2>/dev/null | while read -r file; do
          case "$file" in
            /lib/systemd/system/*.service | /lib/systemd/system/*.socket | /lib/systemd/system/*.timer | \
            /usr/lib/systemd/system/*.service | /usr/lib/systemd/system/*.socket | /usr/lib/systemd/system/*.timer)
              unit="${file##*/}"
              case "$unit" in *@.*) continue ;; esac
              if [ -d /run/systemd/system ]; then
                $sudo systemctl disable --now "$unit" >/dev/null 2>&1 || true
              elif command -v systemctl >/dev/null; then
                $sudo systemctl disable "$unit" >/dev/null 2>&1 || true
              fi
              ;;
            /etc/init.d/*)
              [ -x "$file" ] && $sudo update-rc.d "${file##*/}" disable >/dev/null 2>&1 || true
              ;;
          esac
        done
      done
  )
}
