#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: packages already
# present are skipped, so a second run only checks and takes seconds.
set -euo pipefail

need_i386=0
packages=(
  cmake g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 xvfb xdotool x11-utils imagemagick
  clang libclang-rt-14-dev valgrind osslsigncode openssl python3 dpkg-dev man-db
  zlib1g-dev libdeflate-dev libzstd-dev liblzma-dev zstd xz-utils gzip
)

missing=()
for p in "${packages[@]}"; do
  # dpkg-query prints "install ok installed" only for packages fully installed.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
    [[ $p == *:i386 ]] && need_i386=1
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
if ((need_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
