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
shared="$here/../shared"
vad="$shared/models/ggml-silero-v6.2.0.bin"
bench="$build/bench/model_speed_bench"
mkdir -p "$work"

declare -A files=([tiny]=tiny.bin [base]=base.bin [small]=small.bin [medium]=medium.bin
  [large-v3-turbo]=large-v3-turbo-q5_0.bin)
for arch in tiny base small medium large-v3-turbo; do
  file="$work/${files[$arch]}"
  [ -f "$file" ] && continue
  quantize=()
  [ "$arch" = large-v3-turbo ] && quantize=(--quantize q5_0)
  "$build/tools/make_test_model" --from "$shared/models/for-tests-ggml-tiny.bin" --out "$file" \
    --architecture "$arch" "${quantize[@]}"
done

speech="$work/speech.wav"
if [ ! -f "$speech" ]; then
  # 27.5 s of speech: every window is full of it.
  espeak-ng -s 150 -w "$work/speech-raw.wav" "Good morning everyone, thanks for joining the \
weekly planning meeting. First we will look at the roadmap for the next quarter, then the design \
review of the new onboarding screens, and finally the open questions from engineering about the \
release schedule. Please keep your updates short so that we have time for discussion at the end. \
Maria, would you like to start with the summary of last week's customer interviews and what we \
learned from them?"
  sox "$work/speech-raw.wav" -r 16000 -c 1 -b 16 "$speech"
fi

probe() { "$bench" --probe | sed -n 's/.*gflops=\([0-9.]*\).*/\1/p'; }
before=$(probe)
results=()
for arch in tiny base small medium large-v3-turbo; do
  results+=("$arch $("$bench" --model "$work/${files[$arch]}" --vad "$vad" --audio "$speech" \
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
