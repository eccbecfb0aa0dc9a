#!/usr/bin/env bash
# Base and Small as downloaded (F16) and as the quantised copies the product makes (q8_0,
# q5_1), side by side in one run on the same audio with the recogniser's own thread rule:
# seconds of recognition per second of audio, peak memory, and the words that differ from
# F16's. One process per model, so each peak memory is that model's alone. On a machine
# others are busy on, the CPU seconds (loading included) are steadier than the wall clock.
#
#   bench/quantised_speed.sh [BUILD_DIR] [MODELS_DIR] [WORK_DIR] [WINDOWS]
#
# MODELS_DIR holds base.bin and small.bin (F16 whisper.cpp files; bench/model_speed.sh makes
# random-weight ones) and speech.wav (16 kHz mono, at least 20 s). The copies are made in
# WORK_DIR, timed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-release}" && pwd)
models=${2:-/tmp/tallyvox-model-speed}
work=${3:-/tmp/tallyvox-quantised-speed}
windows=${4:-2}
vad="$here/../shared/models/ggml-silero-v6.2.0.bin"
bench="$build/bench/model_speed_bench"
mkdir -p "$work"

made=()
for model in base small; do
  for type in q8_0 q5_1; do
    made+=("$model-$type $("$bench" --model "$models/$model.bin" --quantise "$type" \
      --out "$work/$model-$type.bin")")
  done
done

results=()
for model in base small; do
  for type in f16 q8_0 q5_1; do
    file="$work/$model-$type.bin"
    [ "$type" = f16 ] && file="$models/$model.bin"
    line=$(/usr/bin/time -f "peakKB=%M cpu=%U+%S" -o "$work/time.txt" "$bench" --model "$file" --vad "$vad" \
      --audio "$models/speech.wav" --windows "$windows" --words "$work/$model-$type.words")
    differ=$(diff "$work/$model-f16.words" "$work/$model-$type.words" | grep -c '^[<>]' || true)
    total=$(wc -l < "$work/$model-f16.words")
    results+=("$model-$type $line $(cat "$work/time.txt") differ=$differ total=$total \
size=$(stat -c %s "$file")")
  done
done

for line in "${made[@]}"; do echo "made $line"; done
echo
echo "| model | file | s per 20 s window | encoder | decoder | factor, meeting | factor, meeting + mic | CPU s per s of audio, meeting + mic | peak memory | words differing from F16 |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for line in "${results[@]}"; do
  echo "$line" | awk -v windows="$windows" '{
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    split(v["cpu"], cpu, "+")
    printf "| %s | %.0f MB | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %d MB | %d of %d |\n", $1,
      v["size"] / 1e6, v["window"], v["encoder"], v["decoder"], v["factor1"], v["factor2"],
      2 * (cpu[1] + cpu[2]) / (windows * 20), v["peakKB"] / 1024, v["differ"], v["total"] }'
done
