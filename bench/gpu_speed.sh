#!/usr/bin/env bash
# Recognition on the processor and on the graphics processor, side by side in one run:
# tallyvox-cli transcribe of the same audio with the same model, alternating CPU and GPU runs,
# each with useGPU set accordingly in a private settings folder. Prints a Markdown table of
# the median whisper seconds (time inside the recogniser) and their ratio.
#
#   bench/gpu_speed.sh [BUILD_DIR] [MODEL] [AUDIO] [RUNS]
#
# Without a graphics processor, SOFTWARE=1 uses Mesa's lavapipe (the software Vulkan device
# the tests use): its figures show that recognition works there, not how fast a GPU is.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
model=${2:-$build/tests/integration/random-tiny.bin}
audio=${3:-$here/../shared/audio/jfk.wav}
runs=${4:-3}
cli="$build/src/tallyvox-cli"
[ -x "$cli" ] || cli=$(find "$build" -name tallyvox-cli -type f -perm -u+x | head -1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
if [ "${SOFTWARE:-0}" = 1 ]; then
  export TALLYVOX_VULKAN_SOFTWARE=1
  export VK_DRIVER_FILES=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
fi

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

declare -A seconds device
for ((run = 1; run <= runs; run++)); do
  for use in false true; do
    "$cli" settings set useGPU "$use" >/dev/null
    "$cli" transcribe "$audio" --model "$model" --vad /nonexistent --language en \
      >"$work/out-$use.txt" 2>"$work/err.txt"
    seconds[$use]+="$(sed -n 's/.*whisper \([0-9.]*\) s.*/\1/p' "$work/err.txt") "
    device[$use]=$(sed -n 's/^device //p' "$work/err.txt")
  done
done
cpu=$(tr ' ' '\n' <<<"${seconds[false]}" | grep . | median)
gpu=$(tr ' ' '\n' <<<"${seconds[true]}" | grep . | median)
same=$(cmp -s "$work/out-false.txt" "$work/out-true.txt" && echo same || echo different)

echo "| device | whisper s (median of $runs) | GPU / CPU | words |"
echo "|---|---|---|---|"
echo "| ${device[false]} | $cpu | | |"
echo "| ${device[true]} | $gpu | $(awk -v a="$gpu" -v b="$cpu" 'BEGIN {printf "%.2f", a / b}') | $same |"
