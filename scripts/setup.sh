#!/usr/bin/env bash
# Installs what the project needs on a Debian 12 machine and builds it (build/default).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build ccache g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev libcli11-dev
  python3 iproute2 nftables conntrack wireguard-go wireguard-tools lsof psmisc procps util-linux
  dnsmasq-base bind9-dnsutils libmnl-dev pkg-config
  libgnustep-base-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # Without --no-install-recommends wireguard-tools pulls in a kernel image.
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Paths relative to the checkout and no working directory in the hash (it only names the
# debug info's compile folder), so that a fresh clone reuses what an earlier build compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
cmake --preset default >/dev/null
cmake --build build/default
