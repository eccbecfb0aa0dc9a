#!/usr/bin/env bash
# Installs the built .deb as a user would (apt resolves its dependencies), runs what it
# installed from /usr/bin — the command line, a transcription with a test model, the desktop
# app started by its menu entry's Exec line under Xvfb — and removes it, leaving nothing of it
# behind. Changes the system, so it runs only as root (as CI does) on a machine without
# Tallyvox installed; otherwise it skips (exit 77).
# Usage: check_installed.sh BUILD_DIR MODEL
set -euo pipefail
build=$1
model=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
if dpkg-query -W -f='${Status}' tallyvox 2>/dev/null | grep -q "ok installed"; then
  echo "SKIP: a Tallyvox package is installed here already"
  exit 77
fi
out=$(mktemp -d "${TMPDIR:-/tmp}/tallyvox-installed.XXXXXX")
chmod 755 "$out"
cleanup() {
  [ -s "$out/app.pid" ] && kill -9 "$(cat "$out/app.pid")" 2>/dev/null || true
  if dpkg-query -W -f='${Status}' tallyvox 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tallyvox >/dev/null 2>&1 || true
  fi
  rm -rf "$out"
}
trap cleanup EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$out"/tallyvox_*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$out/install.log" 2>&1 ||
  { cat "$out/install.log" >&2; fail "apt-get install of the package failed"; }
[ "$(command -v tallyvox-cli)" = /usr/bin/tallyvox-cli ] || fail "tallyvox-cli is not on the PATH"

/usr/bin/tallyvox-cli --version | grep -q '^tallyvox-cli ' || fail "tallyvox-cli --version"

# A transcription with the installed binary, in a home of its own.
export HOME="$out/home" XDG_CONFIG_HOME="$out/home/.config" XDG_DATA_HOME="$out/home/.local/share"
export XDG_RUNTIME_DIR="$out/runtime"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
espeak-ng -w "$out/speech.wav" "Thanks for joining, let us begin." 2>/dev/null
/usr/bin/tallyvox-cli transcribe "$out/speech.wav" --model "$model" --vad /nonexistent \
  --language en --output "$out/speech.txt" >"$out/transcribe.out" 2>"$out/transcribe.err" ||
  { cat "$out/transcribe.err" >&2; fail "transcribe with the installed binary"; }
[ -s "$out/speech.txt" ] || fail "transcribe wrote nothing"
# A package that chooses its CPU kernels at run time: the recogniser ran on one loaded from
# the package's own folder, with its own whisper.cpp.
if [ -d /usr/lib/tallyvox ]; then
  LD_DEBUG=files /usr/bin/tallyvox-cli transcribe "$out/speech.wav" --model "$model" \
    --vad /nonexistent --language en >/dev/null 2>"$out/loader.log" ||
    fail "transcribe with the installed kernels"
  # Found through the executables' $ORIGIN-relative search path, so named from /usr/bin.
  grep -Eq 'calling init: /usr/(bin/\.\./)?lib/tallyvox/libwhisper\.so' "$out/loader.log" ||
    fail "whisper.cpp was not loaded from /usr/lib/tallyvox"
  grep -q 'calling init: /usr/lib/tallyvox/libggml-cpu-' "$out/loader.log" ||
    fail "no CPU kernel library was loaded from /usr/lib/tallyvox"
fi

# The desktop app as the menu starts it.
entry=/usr/share/applications/tallyvox.desktop
exec_line=$(sed -n 's/^Exec=//p' "$entry" | head -n1)
[ -n "$exec_line" ] || fail "no Exec line in $entry"
command=$(sed 's/ %[fFuUick]//g' <<<"$exec_line")
xvfb-run -a -s "-screen 0 1024x768x24" env QT_QPA_PLATFORM=xcb \
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent bash -c "echo \$\$ >'$out/app.pid'; exec $command" \
  >"$out/app.out" 2>"$out/app.err" &
app=$!
# Meeting detection says "started" too, a moment before the app does.
for _ in $(seq 1 120); do
  grep -q 'Tallyvox .* started' "$out/app.err" 2>/dev/null && break
  sleep 0.5
done
grep -q 'Tallyvox .* started' "$out/app.err" ||
  { cat "$out/app.err" >&2; fail "the desktop app did not start from its menu entry"; }
kill -TERM "$(cat "$out/app.pid")"
wait "$app" || { cat "$out/app.err" >&2; fail "the desktop app did not quit cleanly"; }
rm -f "$out/app.pid"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tallyvox >"$out/remove.log" 2>&1 ||
  { cat "$out/remove.log" >&2; fail "apt-get remove failed"; }
for file in /usr/bin/tallyvox /usr/bin/tallyvox-cli "$entry" /usr/share/doc/tallyvox/copyright \
  /usr/lib/tallyvox; do
  [ ! -e "$file" ] || fail "$file is left after removal"
done
echo "installed package OK: $(basename "$deb")"
