#!/usr/bin/env bash
# Installs the Debian packages the project needs when any is missing.
# Sourced by run.sh and test.sh. It never stops or removes anything.
qp_install_deps() {
  local need=(cmake ninja-build g++ qt6-base-dev libgl-dev libboost-dev libgtest-dev libgmock-dev
              libbenchmark-dev liburing-dev netbase iproute2 iptables clang libclang-rt-14-dev
              xvfb xauth imagemagick fonts-dejavu-core ngircd
              nginx-light python3 tinyproxy microsocks dante-server curl qstat
              python3-pyftpdlib vsftpd
              dpkg-dev lintian man-db systemd desktop-file-utils chromium python3-prometheus-client)
  local missing=()
  for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
