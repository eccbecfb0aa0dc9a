#!/usr/bin/env bash
# What Tallyvox costs while no meeting runs: the desktop app (`tallyvox`, under Xvfb) and the
# headless mode (`tallyvox-cli run`) side by side, each in a scratch home, for N seconds.
# Reports the CPU time used as a percentage of one core (utime + stime from /proc/PID/stat,
# after a warm-up) and the peak resident memory (VmHWM).
# Usage: bench/idle_cost.sh [SECONDS]   (default 600; BUILD_DIR picks the build, default build)
# Runs against a private sound server (scripts/with-sound-server) unless one is set already.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
warmup=${TALLYVOX_IDLE_WARMUP:-15}
build=${BUILD_DIR:-$here/build}

if [ -z "${PULSE_SERVER:-}" ]; then
  exec "$here/scripts/with-sound-server" "$0" "$@"
fi
# A session bus of its own, as on a desktop (notifications, the single-instance hand-over).
if [ -z "${TALLYVOX_IDLE_IN_SESSION:-}" ] && command -v dbus-run-session >/dev/null; then
  TALLYVOX_IDLE_IN_SESSION=1 exec dbus-run-session -- "$0" "$@"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tallyvox-idle.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number on the descriptor given.
exec 5<> <(:)
Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x800x24 >"$scratch/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 30 display <&5 || { echo "Xvfb did not start" >&2; exit 1; }

started=
start_in_home() { # NAME COMMAND...; sets $started to its pid
  local name=$1
  shift
  mkdir -p "$scratch/$name"
  HOME="$scratch/$name" XDG_CONFIG_HOME="$scratch/$name/config" \
    XDG_DATA_HOME="$scratch/$name/data" DISPLAY=":$display" \
    "$@" </dev/null >"$scratch/$name.log" 2>&1 &
  started=$!
  pids+=("$started")
}
start_in_home desktop "$build/src/tallyvox"
desktop=$started
start_in_home headless "$build/src/tallyvox-cli" run
headless=$started

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sleep "$warmup"
for pid in "$desktop" "$headless"; do
  kill -0 "$pid" 2>/dev/null || { echo "process $pid ended early:" >&2; cat "$scratch"/*.log >&2; exit 1; }
done
d0=$(ticks "$desktop")
h0=$(ticks "$headless")
t0=$(date +%s.%N)
sleep "$seconds"
d1=$(ticks "$desktop")
h1=$(ticks "$headless")
t1=$(date +%s.%N)
hz=$(getconf CLK_TCK)

report() { # NAME PID TICKS_BEFORE TICKS_AFTER
  local hwm rss
  hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$2/status")
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$2/status")
  awk -v name="$1" -v d="$(($4 - $3))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v hwm="$hwm" \
    -v rss="$rss" 'BEGIN {
      printf "%-22s CPU %.3f %% of one core over %.0f s; peak RSS %.1f MB (now %.1f MB)\n",
        name, 100 * d / hz / (t1 - t0), t1 - t0, hwm / 1024, rss / 1024 }'
}
echo "Idle for ${seconds} s after ${warmup} s of warm-up, no meeting:"
report "tallyvox (Xvfb)" "$desktop" "$d0" "$d1"
report "tallyvox-cli run" "$headless" "$h0" "$h1"
for name in desktop headless; do
  echo "--- last lines of $name's output:"
  tail -n 4 "$scratch/$name.log"
done
