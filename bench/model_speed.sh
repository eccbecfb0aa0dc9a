#!/usr/bin/env bash
# Every recogniser model on this machine, side by side in one run: the speed probe, then one
# process per model (so each peak memory is that model's alone), then the probe again.
# Models are full-size files of each architecture with seeded random weights
# (tools/make_test_model), the decoder made to write 3 tokens per second of audio.
#
#   bench/model_speed.sh [BUILD_DIR] [WORK_DIR] [WINDOWS]
#
# Prints a Markdown table; "work" is the window's seconds times the mean probe figure, the
# number the product divides by another machine's probe figure to predict its speed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-release}" && pwd)
work=${2:-/tmp/tallyvox-model-speed}
windows=${3:-2}
vad="$here/../shared/models/ggml-silero-v6.2.0.bin"
bench="$build/bench/model_speed_bench"
source "$here/bench/test_models.sh"
make_test_models "$build/tools/make_test_model" "$work"
speech="$work/speech.wav"

probe() { "$bench" --probe | sed -n 's/.*gflops=\([0-9.]*\).*/\1/p'; }
before=$(probe)
results=()
for arch in tiny base small medium large-v3-turbo; do
  results+=("$arch $("$bench" --model "$work/$(model_file "$arch")" --vad "$vad" --audio "$speech" \
    --windows "$windows")")
done
after=$(probe)

echo "probe before: $before GFLOPS, after: $after GFLOPS"
echo
echo "| model | s per 20 s window | encoder | decoder | speech detector | factor, meeting | factor, meeting + mic | peak memory | work |"
echo "|---|---|---|---|---|---|---|---|---|"
for line in "${results[@]}"; do
  echo "$line" | awk -v before="$before" -v after="$after" '{
    probe = (before + after) / 2
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %d MB | %.0f |\n", $1, v["window"],
      v["encoder"], v["decoder"], v["vad"], v["factor1"], v["factor2"], v["peakMB"],
      v["window"] * probe }'
done
