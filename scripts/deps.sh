#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs. Usage: deps.sh [build|all]
#   build: the Linux flavour, its tests and the demo
#   all:   also the Windows cross toolchains, Wine (64-bit, and 32-bit with
#          qemu-user for the shipped i686 program), the fuzzing compiler, and
#          what the fleet's tests drive (a headless browser, GNU parallel), and
#          the process tools that the test command uses (procps)
set -euo pipefail
what=${1:-all}
packages=(cmake make ninja-build g++ python3 gettext nlohmann-json3-dev libcli11-dev googletest libgtest-dev libbenchmark-dev)
if [ "$what" = all ]; then
  packages+=(clang g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64
             qemu-user wine32:i386 chromium parallel procps)
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
new_architecture=0
if [ "$what" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  # 32-bit Wine comes from the i386 architecture's packages.
  $SUDO dpkg --add-architecture i386
  new_architecture=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $new_architecture -eq 1 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi
