#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as another program would: builds the
# README's C example against it through the CMake package or pkg-config, or runs the Python
# example, then runs it against the installed simulator and checks what it printed.
# Usage: consumer_test.sh cmake|pkgconfig|python BUILD_DIR|system SOURCE_DIR C_COMPILER
#   system: no installation; the one already in /usr (the Debian package) is used.
set -euo pipefail
way=$1 build=$2 source=$3 cc=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-consumer.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$build" = system ]; then
  prefix=/usr
  libdir=$(dirname "$(ldconfig -p | awk '$1 == "libTarvik.so.1" { print $NF; exit }')")
else
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$(dirname "$(find "$prefix" -name libTarvik.so.1 -print -quit)")
fi
[ -f "$prefix/include/Tarvik.h" ] || fail "the header is not installed"
[ "$(readlink "$libdir/libTarvik.so.1")" = libTarvik.so.1.0.0 ] || fail "libTarvik.so.1 is not the versioned file"
objdump -p "$libdir/libTarvik.so.1.0.0" | grep -q 'SONAME *libTarvik\.so\.1$' || fail "no SONAME libTarvik.so.1"

example=$source/docs/examples/send_receive
program=$work/send_receive
case $way in
  cmake)
    # Under /usr the package is found without being told where.
    search=()
    [ "$build" = system ] || search=(-DCMAKE_PREFIX_PATH="$prefix")
    CC=$cc cmake -S "$source/tests/package/consumer" -B "$work/build" -G Ninja \
      "${search[@]}" -DEXAMPLE_SOURCE="$example.c" >/dev/null
    cmake --build "$work/build" >/dev/null
    program=$work/build/send_receive
    ;;
  pkgconfig)
    [ "$build" = system ] || export PKG_CONFIG_PATH=$libdir/pkgconfig
    [ "$(pkg-config --modversion tarvik)" = 1.0.0 ] || fail "pkg-config does not know tarvik 1.0.0"
    # shellcheck disable=SC2046
    "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$program" "$example.c" \
      $(pkg-config --cflags --libs tarvik)
    ;;
  python) ;;
  *) fail "unknown way $way" ;;
esac

# Outside the library path the loader learns the folder from the environment, as after
# any installation there.
[ "$build" = system ] || export LD_LIBRARY_PATH=$libdir
if [ "$way" != python ]; then
  # Linked by the SONAME, resolved to the installed file, not to the build tree.
  objdump -p "$program" | grep -q 'NEEDED *libTarvik\.so\.1$' || fail "not linked against libTarvik.so.1"
  resolved=$(ldd "$program" | awk '$1 == "libTarvik.so.1" { print $3 }')
  [ "$resolved" -ef "$libdir/libTarvik.so.1" ] || fail "libTarvik.so.1 resolves to '$resolved', not the installed one"
fi

export TARVIK_PORT_DIR=$work/ports
mkdir "$TARVIK_PORT_DIR"
"$prefix/bin/tarvik-modemsim" --port 1 >"$work/modemsim.out" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/modemsim.out" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator did not start"
  sleep 0.05
done
[ "$(cat "$work/modemsim.out")" = "$TARVIK_PORT_DIR/COM1" ] || fail "the simulator did not link COM1"

if [ "$way" = python ]; then
  text="Grüße from Tarvik"
  python3 "$example.py" >"$work/printed" || { cat "$work/printed"; fail "the Python example failed"; }
else
  text="Hello from Tarvik"
  "$program" >"$work/printed" || { cat "$work/printed"; fail "the C example failed"; }
fi
cat "$work/printed"
grep -qx 'report 1: sent' "$work/printed" || fail "no accepted report"
# The simulator's own number, a time stamp of this century, the text unchanged.
grep -qE "^from \\+?8613800138000 at 20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: $text\$" \
  "$work/printed" || fail "the message did not come back whole"
