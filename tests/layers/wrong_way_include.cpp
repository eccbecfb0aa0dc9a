// Settings sit below transcripts: this include must not compile (see tests/CMakeLists.txt).
#include "transcripts/TranscriptManager.h"
