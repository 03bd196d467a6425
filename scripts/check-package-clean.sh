#!/usr/bin/env bash
# Installs a made package on a clean Debian 12 (a minimal debootstrap root, no recommended
# packages) and checks that its declared dependencies are enough: Quorrel starts and loads
# the installed library, the simulator answers, and the README's C example, built through
# pkg-config, and its Python example send and receive on the installed simulator.
# Needs root and the network; takes about two minutes. Not part of CI, which may not allow
# the mounts. Usage: check-package-clean.sh <libtarvik_….deb> [root folder]
# (make the package with scripts/check-package.sh; it stays in build-deb/)
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(readlink -f "${1:?the package file}")
root=${2:-$(mktemp -d "${TMPDIR:-/tmp}/tarvik-clean.XXXXXX")}
fail() { echo "check-package-clean: FAIL: $*" >&2; exit 1; }

command -v debootstrap >/dev/null || apt-get install -y -q debootstrap >/dev/null
[ -x "$root/usr/bin/apt-get" ] ||
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[$i]}" || true; done
}
trap cleanup EXIT
for dir in proc dev dev/pts; do
  if [ "$dir" = proc ]; then mount -t proc proc "$root/proc"; else mount --bind "/$dir" "$root/$dir"; fi
  mounted+=("$root/$dir")
done
cp "$deb" "$root/tmp/"
rm -rf "$root/tmp/src" && mkdir -p "$root/tmp/src"
git archive HEAD docs tests/package | tar -x -C "$root/tmp/src"

chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
  QT_QPA_PLATFORM=offscreen HOME=/root bash -euo pipefail -c '
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "/tmp/'"$(basename "$deb")"'" >/dev/null
  echo "check-package-clean: installed with $(dpkg -l | grep -c ^ii) packages in all"
  Quorrel --version | grep -q "^Quorrel "
  Quorrel --port COM1 >/tmp/quorrel.log 2>&1 &
  pid=$!
  for _ in $(seq 50); do
    grep -q /usr/lib/x86_64-linux-gnu/libTarvik.so.1.0.0 /proc/$pid/maps && break
    sleep 0.1
  done
  grep -q /usr/lib/x86_64-linux-gnu/libTarvik.so.1.0.0 /proc/$pid/maps ||
    { cat /tmp/quorrel.log; exit 1; }
  kill $pid
  tarvik-modemsim --help | grep -q "^usage: tarvik-modemsim"
  echo "check-package-clean: Quorrel and the simulator run on the declared dependencies"
  # What a user adds to build against the package.
  apt-get install -y -q --no-install-recommends gcc libc6-dev pkg-config python3 >/dev/null
  cd /tmp/src
  for way in pkgconfig python; do
    bash tests/package/consumer_test.sh $way system /tmp/src cc >/dev/null
    echo "check-package-clean: the $way example sends and receives"
  done' || fail "see above"
echo "check-package-clean: passed"
