#!/usr/bin/env bash
# Installs what building and testing need, on a Debian machine; does
# nothing for packages that are there already.
set -euo pipefail
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev python3 g++-mingw-w64-x86-64
          clang libclang-rt-14-dev valgrind)
# Wine runs the Windows program and its tests; its recommended extras
# (fonts, sound, graphics libraries) are not needed for console programs.
lean_packages=(wine wine64)
# Prints the packages of the list given that are not installed.
missing_of() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_lean < <(missing_of "${lean_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_lean[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]} ${missing_lean[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if [ ${#missing_lean[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing_lean[@]}" >/dev/null
  fi
fi
