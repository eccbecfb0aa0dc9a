#!/usr/bin/env bash
# The whisper.cpp the package carries (shared, its CPU kernels chosen at run time from
# lib/tallyvox) beside the static one built for this machine's processor, per model, through
# the product's recogniser (model_speed_bench, one window per run). The two builds run
# alternately, the order swapped every round, so both see the same load.
#
#   bench/dispatch_speed.sh NATIVE_BUILD DISPATCHED_BUILD [WORK_DIR] [ROUNDS]
#
# DISPATCHED_BUILD is configured as usual, NATIVE_BUILD with -DTALLYVOX_WHISPER_DISPATCHED=OFF
# (after scripts/bootstrap --native); both with -DTALLYVOX_BUILD_BENCH=ON and model_speed_bench and make_test_model built. The
# model files and the speech are bench/model_speed.sh's (made here when missing).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "$1" && pwd)
dispatched=$(cd "$2" && pwd)
work=${3:-/tmp/tallyvox-model-speed}
rounds=${4:-3}
models=(${MODELS:-tiny base small medium large-v3-turbo})
vad="$here/../shared/models/ggml-silero-v6.2.0.bin"
source "$here/bench/test_models.sh"
make_test_models "$native/tools/make_test_model" "$work"

results="$work/dispatch-results-$(date +%H%M%S).txt"
: >"$results"
# The window's wall seconds and the whole process's CPU seconds (user + system, every thread,
# model loading included): on a busy machine the CPU time is the steadier figure.
window() {
  local line
  line=$(/usr/bin/time -f "cpu %U %S" -o "$work/time.txt" "$1/bench/model_speed_bench" \
    --model "$2" --vad "$vad" --audio "$work/speech.wav" --windows 1)
  echo "$(sed -n 's/.*window=\([0-9.]*\).*/\1/p' <<<"$line") $(awk '{ print $2 + $3 }' "$work/time.txt")"
}
probe() { "$1/bench/model_speed_bench" --probe | sed -n 's/.*gflops=\([0-9.]*\).*/\1/p'; }
for round in $(seq 1 "$rounds"); do
  order=(native dispatched)
  [ $((round % 2)) -eq 0 ] && order=(dispatched native)
  for build in "${order[@]}"; do
    dir=$native
    [ "$build" = dispatched ] && dir=$dispatched
    echo "probe $build $(probe "$dir") 0" >>"$results"
  done
  for arch in "${models[@]}"; do
    for build in "${order[@]}"; do
      dir=$native
      [ "$build" = dispatched ] && dir=$dispatched
      echo "$arch $build $(window "$dir" "$work/$(model_file "$arch")")" | tee -a "$results"
    done
  done
done

python3 - "$results" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    name, build, value, cpu = line.split()
    runs.setdefault(name, {}).setdefault(build, []).append((float(value), float(cpu)))
print("\n| model | native, s per window | dispatched | dispatched / native | native CPU, s | dispatched CPU | dispatched / native, CPU |")
print("|---|---|---|---|---|---|---|")
for name, builds in runs.items():
    med = lambda build, i: statistics.median(run[i] for run in builds[build])
    n, d = med("native", 0), med("dispatched", 0)
    if name == "probe":
        print(f"| probe | {n:.1f} GFLOPS | {d:.1f} GFLOPS | {d / n:.3f} | | | |")
        continue
    cn, cd = med("native", 1), med("dispatched", 1)
    print(f"| {name} | {n:.2f} | {d:.2f} | {d / n:.3f} | {cn:.2f} | {cd:.2f} | {cd / cn:.3f} |")
PY
