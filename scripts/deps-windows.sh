#!/usr/bin/env bash
# Installs what the Windows stage needs on top of the Linux build (Debian 12): the mingw-w64
# cross compilers (-posix: the ones with std::thread), Wine to run the 64-bit tests, the
# GoogleTest sources to build it for Windows, the two locales that give Wine code pages
# 936 and 1252, and for Quorrel.exe's tests and pictures a virtual display, Arial's metrics
# and a CJK face.
# Skips the package manager when all of it is already there.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 googletest locales zip unzip
  xvfb fonts-liberation2 fonts-wqy-microhei
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# An ungenerated locale silently gives Wine code page 1252.
wanted=(zh_CN.UTF-8 en_US.UTF-8)
have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z')
regenerate=no
for l in "${wanted[@]}"; do
  short=$(echo "${l%.UTF-8}.utf8" | tr 'A-Z' 'a-z')
  if ! grep -qx "$short" <<<"$have"; then
    $sudo sed -i "s/^# *\(${l} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${l} UTF-8" /etc/locale.gen || echo "${l} UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    regenerate=yes
  fi
done
[ "$regenerate" = no ] || $sudo locale-gen >/dev/null
