#!/usr/bin/env bash
# Installs every build, test and benchmark dependency from Debian packages.
# Idempotent; run as root on Debian 12. With --bench also GIMP, which only bench/readers uses.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
PKGS=(
  build-essential cmake ninja-build pkg-config git ccache
  libdeflate-dev zlib1g-dev liblcms2-dev libtiff-dev libpolyclipping-dev
  libfontconfig-dev libfreetype-dev libharfbuzz-dev libjpeg62-turbo-dev libspng-dev
  libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev libssl-dev libbenchmark-dev
  python3-dev python3-numpy pybind11-dev python3-pytest
  clang libclang-rt-14-dev
  python3 python3-psd-tools imagemagick openimageio-tools valgrind lcov
)
if [ "${1:-}" = "--bench" ]; then
  PKGS+=(gimp)
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
