# Sourced by the model benchmarks: full-size files of every architecture with seeded random
# weights (tools/make_test_model; Large v3 Turbo quantised to q5_0 as the downloaded file is)
# and 27.5 s of espeak-ng speech, made once in a work folder.

model_file() {
  case "$1" in
    large-v3-turbo) echo large-v3-turbo-q5_0.bin ;;
    *) echo "$1.bin" ;;
  esac
}

# make_test_models MAKE_TEST_MODEL WORK_DIR
make_test_models() {
  local tool=$1 work=$2 shared arch file quantize
  shared="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/../shared"
  mkdir -p "$work"
  for arch in tiny base small medium large-v3-turbo; do
    file="$work/$(model_file "$arch")"
    [ -f "$file" ] && continue
    quantize=()
    [ "$arch" = large-v3-turbo ] && quantize=(--quantize q5_0)
    "$tool" --from "$shared/models/for-tests-ggml-tiny.bin" --out "$file" \
      --architecture "$arch" "${quantize[@]}"
  done
  if [ ! -f "$work/speech.wav" ]; then
    # 27.5 s of speech: every window is full of it.
    espeak-ng -s 150 -w "$work/speech-raw.wav" "Good morning everyone, thanks for joining the \
weekly planning meeting. First we will look at the roadmap for the next quarter, then the design \
review of the new onboarding screens, and finally the open questions from engineering about the \
release schedule. Please keep your updates short so that we have time for discussion at the end. \
Maria, would you like to start with the summary of last week's customer interviews and what we \
learned from them?"
    sox "$work/speech-raw.wav" -r 16000 -c 1 -b 16 "$work/speech.wav"
  fi
}
