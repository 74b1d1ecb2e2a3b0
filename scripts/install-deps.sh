#!/usr/bin/env bash
# Installs the Debian packages the build, the twins and the tests need.
# Idempotent and quiet when everything is already there.
set -euo pipefail

PKGS=(
  build-essential cmake pkg-config
  libmbedtls-dev libcurl4-openssl-dev libtinyxml2-dev libudev-dev libssl-dev
  libgtest-dev libgmock-dev
  python3 python3-cryptography python3-gi python3-protobuf
  umockdev libumockdev-dev gir1.2-umockdev-1.0
  curl openssl xz-utils gzip tar unzip zip util-linux iproute2
  tinyproxy nginx-light
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The test suite starts its own proxy and web server on loopback when it needs them;
# keep the packaged daemons from holding ports on this machine.
for svc in tinyproxy nginx; do
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true; fi
  if [ -x "/etc/init.d/$svc" ]; then $SUDO "/etc/init.d/$svc" stop >/dev/null 2>&1 || true; fi
done
