#!/usr/bin/env bash
# Two comparisons with whisper.cpp's own command-line program (whisper-cli), built from the
# same pinned source with the same options by `scripts/bootstrap --reference` (and, with
# OpenMP's thread pool instead of ggml's own, `--reference-openmp`); neither is part of the
# product. Runs alternate, the order swapped every round, so both sides see the same load.
#
# 1. `tallyvox-cli transcribe` beside whisper-cli on the same model file, audio and thread
#    count: the ratio is what Tallyvox costs around whisper.cpp (decoding and resampling the
#    file, windows, speech detection, bookkeeping, the transcript).
# 2. whisper-cli built with GGML_OPENMP=ON beside OFF, for every model of the speed table, on
#    27.5 s of speech (one window).
#
#   bench/whisper_reference.sh [BUILD_DIR] [WORK_DIR] [ROUNDS]
#
# BUILD_DIR holds tallyvox-cli and make_test_model linked against the static whisper.cpp
# (.deps/whisper, the same options as the reference). MODELS and CLI_MODELS choose the
# models of each part. THREADS is whisper-cli's thread count: the product's own rule gives 2
# on a machine of 2 to 4 processors (usable processors minus two, between 2 and 6).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=${2:-/tmp/tallyvox-model-speed}
rounds=${3:-3}
models=(${MODELS-tiny base small medium large-v3-turbo})
cli_models=(${CLI_MODELS-tiny base})
threads=${THREADS:-2}
plain="$here/.deps/whisper-reference/bin/whisper-cli"
openmp="$here/.deps/whisper-reference-openmp/bin/whisper-cli"
programs=("$plain")
[ ${#models[@]} -gt 0 ] && programs+=("$openmp")
for program in "${programs[@]}"; do
  [ -x "$program" ] || { echo "no $program: run scripts/bootstrap --reference and --reference-openmp" >&2; exit 1; }
done
source "$here/bench/test_models.sh"
make_test_models "$build/tools/make_test_model" "$work"
# Two minutes of speech for the command lines: several windows each.
if [ ! -f "$work/speech120.wav" ]; then
  sox "$work/speech.wav" "$work/speech.wav" "$work/speech.wav" "$work/speech.wav" \
    "$work/speech.wav" "$work/speech120.wav" trim 0 120
fi

# Wall and CPU seconds (user + system, every thread) of one run: on a busy machine the CPU
# time is the steadier figure.
seconds() {
  /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" >/dev/null 2>&1 ||
    { echo "failed: $*" >&2; exit 1; }
  awk '{ printf "%.2f %.2f", $1, $2 + $3 }' "$work/time.txt"
}
# The same work on both sides: the given threads, beam search of 5, flash attention, English,
# no text carried from window to window, no speech detector, whisper.cpp's own fallback to
# sampling when a window decodes badly.
tallyvox() { seconds "$build/src/tallyvox-cli" transcribe "$work/speech120.wav" --model "$1" \
  --vad /nonexistent --language en; }
reference() { seconds "$2" -m "$1" -f "$3" -t "$threads" -bs 5 -fa -l en -mc 0 -np; }

results="$work/reference-results-$(date +%H%M%S).txt"
: >"$results"
for round in $(seq 1 "$rounds"); do
  swap=$((round % 2 == 0))
  for arch in "${cli_models[@]}"; do
    model="$work/$(model_file "$arch")"
    sides=(tallyvox whisper-cli)
    [ "$swap" = 1 ] && sides=(whisper-cli tallyvox)
    for side in "${sides[@]}"; do
      if [ "$side" = tallyvox ]; then
        echo "cli $arch tallyvox $(tallyvox "$model")"
      else
        echo "cli $arch whisper-cli $(reference "$model" "$plain" "$work/speech120.wav")"
      fi | tee -a "$results"
    done
  done
  for arch in "${models[@]}"; do
    model="$work/$(model_file "$arch")"
    sides=(off on)
    [ "$swap" = 1 ] && sides=(on off)
    for side in "${sides[@]}"; do
      program=$plain
      [ "$side" = on ] && program=$openmp
      echo "openmp $arch $side $(reference "$model" "$program" "$work/speech.wav")" | tee -a "$results"
    done
  done
done

python3 - "$results" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    part, model, side, wall, cpu = line.split()
    runs.setdefault(part, {}).setdefault(model, {}).setdefault(side, []).append((float(wall), float(cpu)))
def table(part, a, b):
    if part not in runs:
        return
    print(f"\n| model | {a} wall, s | {b} wall, s | {b} / {a}, wall | {a} CPU, s | {b} CPU, s | {b} / {a}, CPU | runs |")
    print("|---|---|---|---|---|---|---|---|")
    for model, sides in runs[part].items():
        med = lambda side, i: statistics.median(run[i] for run in sides[side])
        wa, wb, ca, cb = med(a, 0), med(b, 0), med(a, 1), med(b, 1)
        print(f"| {model} | {wa:.2f} | {wb:.2f} | {wb / wa:.3f} | {ca:.2f} | {cb:.2f} | {cb / ca:.3f} | {len(sides[a])} + {len(sides[b])} |")
table("cli", "whisper-cli", "tallyvox")
table("openmp", "off", "on")
PY
