#!/bin/sh
# One 10 s row of a speaker network through ggml (speaker_bench's BM_SpeakerRowFull, which runs
# $TALLYVOX_SPEAKER_MODEL) and through ONNX Runtime's CPU provider on the same file, taking
# turns so that both see the same load. ONNX Runtime is the yardstick only:
#   mkdir -p /tmp/ort && (cd /tmp/ort && npm install --ignore-scripts onnxruntime-node)
#   bench/speaker_row_anchor.sh MODEL.onnx /tmp/ort [ROUNDS]
set -eu
model=$1 ort=$2 rounds=${3:-3}
i=0
while [ "$i" -lt "$rounds" ]; do
  TALLYVOX_SPEAKER_MODEL=$model build/bench/speaker_bench --benchmark_filter=BM_SpeakerRowFull \
    --benchmark_min_time=4 2>/dev/null | grep BM_
  NODE_PATH=$ort/node_modules node bench/onnxruntime_row.js "$model" 4 2
  i=$((i + 1))
done
