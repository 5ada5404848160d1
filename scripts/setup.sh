#!/usr/bin/env bash
# Installs what building and testing need, on a Debian machine; does
# nothing for packages that are there already.
set -euo pipefail
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev python3 g++-mingw-w64-x86-64
          clang libclang-rt-14-dev valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
