#!/usr/bin/env bash
# Makes the Debian package libtarvik, installs it with apt-get as a user would, and checks
# it: its programs' libraries are among its declared dependencies, Quorrel starts and loads
# the installed library, and the README's examples build against /usr and work on the
# installed simulator. Removes the package again at the end. Needs root (or sudo).
# The package is made from the plain build, build/, when it is configured for /usr (as
# scripts/test.sh's plain stage does), else in build-deb/; TARVIK_DEB_BUILD_DIR names another.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
configured_for_usr() { grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$1/CMakeCache.txt" 2>/dev/null; }
if [ -n "${TARVIK_DEB_BUILD_DIR:-}" ]; then
  build=$TARVIK_DEB_BUILD_DIR
elif configured_for_usr build; then
  build=build
else
  build=build-deb
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() { echo "check-package: FAIL: $*" >&2; exit 1; }

bash scripts/deps.sh
# A build already configured for /usr keeps its options (its tests are built but never
# installed); a new one leaves the tests out.
if ! configured_for_usr "$build"; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DTARVIK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/libtarvik_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(echo "$PWD/$build"/libtarvik_*.deb)
[ -f "$deb" ] || fail "cpack made no package"
echo "check-package: $deb"

# What the package declares.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
depended=$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for path in /usr/bin/Quorrel /usr/bin/tarvik /usr/share/man/man1/tarvik.1 \
  /usr/bin/tarvik-modemsim /usr/include/Tarvik.h \
  "/usr/lib/$multiarch/libTarvik.so.1.0.0" "/usr/lib/$multiarch/libTarvik.so.1" \
  "/usr/lib/$multiarch/libTarvik.so" "/usr/lib/$multiarch/pkgconfig/tarvik.pc" \
  "/usr/lib/$multiarch/cmake/Tarvik/TarvikConfig.cmake" /usr/share/doc/libtarvik/README.md \
  /usr/share/tarvikd/console/index.html /usr/share/tarvikd/console/app.js \
  /usr/share/tarvikd/console/console.css; do
  grep -qx "$path" <<<"$listing" || fail "the package lacks $path"
done
grep -qx fonts-liberation2 <<<"$depended" || fail "no dependency on the dialog's font"
# The programs and nothing else: no test program of the build comes along.
extra=$(grep '^/usr/bin/.' <<<"$listing" | grep -vx -e /usr/bin/Quorrel -e /usr/bin/tarvik \
  -e /usr/bin/tarvik-modemsim -e /usr/bin/tarvikd || true)
[ -z "$extra" ] || fail "the package holds programs it should not: $extra"
grep -qi 'test' <<<"$(grep -v '^/usr/share/doc/' <<<"$listing")" &&
  fail "the package holds tests: $(grep -i test <<<"$listing" | grep -v '^/usr/share/doc/')"

# Earlier installs would hide a missing file.
if dpkg-query -W -f='${Status}' libtarvik 2>/dev/null | grep -q 'install ok installed'; then
  $sudo apt-get purge -y -q libtarvik >/dev/null
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -q --no-install-recommends "$deb" >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-package.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
  [ -n "${TARVIK_KEEP_PACKAGE:-}" ] || $sudo apt-get purge -y -q libtarvik >/dev/null || true
}
trap cleanup EXIT

# The package that holds a file; dpkg knows each file by one of its names (/lib or /usr/lib
# on a merged /usr, the link or its target).
owner_of() {
  local real name
  real=$(readlink -f "$1")
  for name in "$1" "$real" "${1#/usr}" "${real#/usr}" "/usr$1" "/usr$real"; do
    dpkg-query -S "$name" 2>/dev/null | head -1 | cut -d: -f1 | grep . && return
  done
  true
}

# Every library a packaged program or library names comes from a package it depends on.
for file in /usr/bin/Quorrel /usr/bin/tarvik /usr/bin/tarvik-modemsim \
  "/usr/lib/$multiarch/libTarvik.so.1.0.0"; do
  ldd "$file" | grep -q 'not found' && fail "$file misses libraries: $(ldd "$file" | grep 'not found')"
  for needed in $(objdump -p "$file" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(ldd "$file" | awk -v n="$needed" '$1 == n { print $3 }')
    owner=$(owner_of "$path")
    [ -n "$owner" ] || fail "no package owns $path, which $file needs"
    [ "$owner" = libtarvik ] && continue
    grep -qxF "$owner" <<<"$depended" || fail "$file needs $needed of $owner, not a dependency"
  done
done

# The package's own scripts stand in for CPack's: the library is in the loader's cache.
ldconfig -p | grep -q "libTarvik.so.1 .*=> .*/lib/$multiarch/libTarvik.so.1$" ||
  fail "libTarvik.so.1 is not in the loader's cache"

# tarvikd's unit runs as the package's own user, in dialout, beside the example of its
# configuration.
getent passwd tarvik >/dev/null || fail "the package made no user tarvik"
id -nG tarvik | tr ' ' '\n' | grep -qx dialout || fail "the user tarvik is not in dialout"
[ -f /etc/tarvik/tarvikd.toml.example ] || fail "no /etc/tarvik/tarvikd.toml.example"
dpkg-query -W -f='${Conffiles}' libtarvik | grep -q ' /etc/tarvik/tarvikd.toml.example ' ||
  fail "/etc/tarvik/tarvikd.toml.example is no conffile"
# The udev rule that keeps ModemManager off a modem ships as a template, never active.
rules=$(dpkg -L libtarvik | grep '/70-tarvik-modem.rules.example$') ||
  fail "no udev rule template"
grep -q 'ID_MM_DEVICE_IGNORE' "$rules" || fail "$rules does not keep ModemManager off"
dpkg -L libtarvik | grep -q '^/lib/udev/rules.d/\|^/etc/udev/rules.d/' &&
  fail "the package installs an active udev rule"
unit=$(dpkg -L libtarvik | grep '/systemd/system/tarvikd.service$')
grep -qx 'User=tarvik' "$unit" || fail "$unit does not run as tarvik"
systemd-analyze verify "$unit" || fail "systemd-analyze verify refuses $unit"
/usr/bin/tarvikd --check-config --config /etc/tarvik/tarvikd.toml.example >/dev/null ||
  fail "the installed example configuration is not sound"
# Its console's files are where the installed daemon looks for them by default.
grep -qa /usr/share/tarvikd/console /usr/bin/tarvikd ||
  fail "tarvikd does not look for its console in /usr/share/tarvikd/console"
echo "check-package: tarvikd's unit verifies, runs as tarvik (dialout), example in /etc/tarvik"

# Quorrel from the package: it answers its options, and its window comes up and loads the
# installed library.
export QT_QPA_PLATFORM=offscreen
/usr/bin/Quorrel --version | grep -q '^Quorrel ' || fail "Quorrel does not start"
/usr/bin/Quorrel --port COM1 >"$work/quorrel.log" 2>&1 &
pids+=($!)
loaded=""
for _ in $(seq 50); do
  kill -0 "${pids[0]}" 2>/dev/null || { cat "$work/quorrel.log"; fail "Quorrel ended by itself"; }
  if grep -q "/usr/lib/$multiarch/libTarvik.so.1.0.0" "/proc/${pids[0]}/maps"; then loaded=yes; break; fi
  sleep 0.1
done
[ -n "$loaded" ] || fail "Quorrel did not load the installed library"
echo "check-package: Quorrel runs with /usr/lib/$multiarch/libTarvik.so.1.0.0"

# The command line from the package, on the installed simulator.
modem_dir="$work/cli-modem"
mkdir -p "$modem_dir"
/usr/bin/tarvik-modemsim --dir "$modem_dir" --port 3 --message "10086:from the package" \
  >"$work/cli-modem.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$modem_dir/COM3" ] && break; sleep 0.1; done
TARVIK_PORT_DIR="$modem_dir" timeout 60 /usr/bin/tarvik receive --port 3 --idle 1 \
  | grep -q "from the package" || fail "tarvik does not receive on the installed library"
echo "check-package: tarvik receives with the installed library"

# The examples against the installed tree, as a user builds them.
for way in cmake pkgconfig python; do
  bash tests/package/consumer_test.sh "$way" system "$source_dir" cc >/dev/null ||
    fail "the $way example does not work against the package"
  echo "check-package: the $way example sends and receives on the installed simulator"
done
echo "check-package: passed"
