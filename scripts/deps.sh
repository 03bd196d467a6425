#!/usr/bin/env bash
# Installs everything the build, the tests and the test program need (Debian 12).
# Skips the package manager when all of it is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  # Quorrel: Qt 6 Widgets, its metric-compatible dialog font, a CJK font for the Chinese
  # captions, and a virtual display for running it without one.
  qt6-base-dev fonts-liberation2 fonts-noto-cjk xvfb xauth
  # The Debian package (dependencies of its programs, found by dpkg-shlibdeps) and the
  # README's Python example.
  dpkg-dev file python3
  # The long-text encoder's cases compare with another open-source SMS library's encoder.
  python3-gammu
  # tarvikd, the gateway daemon: its store, HTTP server, JSON, webhook client and
  # signatures, systemd notification, its configuration file; curl for its tests and quick
  # start.
  libsqlite3-dev libmicrohttpd-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev
  libsystemd-dev libtomlplusplus-dev curl
  # The package's check: systemd-analyze verifies the installed unit.
  systemd
  # Its MQTT publisher, and the broker and subscriber its test runs.
  libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt
  # Its shared store: the client library, and the server its tests start.
  libpq-dev postgresql
  # Its web console's browser test: Debian's Chromium, headless, driven through Selenium.
  python3-selenium chromium chromium-driver
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
