#!/usr/bin/env bash
# How long after a tab opens its address reaches the browser's session file, where Tallyvox
# reads it: Chromium and Firefox (the Debian packages) under Xvfb, each in a scratch home.
# Prints, per browser, the seconds from opening a second tab in the running browser until
# `tallyvox-cli tabs` lists it, for a few tries.
#   bench/session_file_delay.sh [tries]     (needs chromium, firefox-esr, xvfb)
set -euo pipefail
# A session bus of its own: Firefox hands a second invocation's tab to the running one over it.
if [ -z "${SESSION_DELAY_BUS:-}" ]; then
  exec env SESSION_DELAY_BUS=1 dbus-run-session -- "$0" "$@"
fi
here=$(cd "$(dirname "$0")/.." && pwd)
cli="${BUILD_DIR:-$here/build}/src/tallyvox-cli"
tries="${1:-3}"
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT

now() { date +%s.%N; }
letters=(a b c d e f g h i j k l m n o p q r s t u v w x y z)
# Seconds until the tabs command shows $1 (gives up after 120 s).
wait_for() {
  local start end
  start=$(now)
  for _ in $(seq 1 1200); do
    if HOME="$home" "$cli" tabs 2>/dev/null | grep -qF "$1"; then
      end=$(now); echo "$end - $start" | bc; return 0
    fi
    sleep 0.1
  done
  echo "never"
}

sandbox=()
[ "$(id -u)" -eq 0 ] && sandbox=(--no-sandbox)

export DISPLAY=:77
Xvfb :77 -screen 0 1280x800x24 >/dev/null 2>&1 &
sleep 1

home="$scratch/chromium"; mkdir -p "$home"
HOME="$home" chromium "${sandbox[@]}" --no-first-run --password-store=basic \
  --disable-gpu "https://meet.google.com/aaa-bbbb-ccc" >/dev/null 2>&1 &
echo "Chromium, first tab after launch: $(wait_for aaa-bbbb-ccc) s"
for i in $(seq 1 "$tries"); do
  code="abc-defg-hi${letters[$i]}"
  HOME="$home" chromium "${sandbox[@]}" --no-first-run --password-store=basic \
    "https://meet.google.com/$code" >/dev/null 2>&1 &
  echo "Chromium, new tab $i: $(wait_for "$code") s"
done
pkill -f "chromium.*--password-store=basic" || true
sleep 2

home="$scratch/firefox"; mkdir -p "$home/.mozilla/firefox"
HOME="$home" firefox-esr -CreateProfile "bench $home/.mozilla/firefox/bench.default" >/dev/null 2>&1
HOME="$home" firefox-esr --profile "$home/.mozilla/firefox/bench.default" \
  "https://meet.google.com/aaa-bbbb-ccc" >/dev/null 2>&1 &
echo "Firefox, first tab after launch: $(wait_for aaa-bbbb-ccc) s"
for i in $(seq 1 "$tries"); do
  code="abc-defg-hi${letters[$i]}"
  HOME="$home" firefox-esr --profile "$home/.mozilla/firefox/bench.default" --new-tab \
    "https://meet.google.com/$code" >/dev/null 2>&1 &
  echo "Firefox, new tab $i: $(wait_for "$code") s"
done
