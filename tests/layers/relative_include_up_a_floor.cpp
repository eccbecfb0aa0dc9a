// Settings sit below transcripts. A quoted include is looked for beside the including file
// before any include folder, so this one reaches the transcripts header without the build
// granting that floor: the build must refuse it (see tests/CMakeLists.txt).
#include "../../src/transcripts/TranscriptRecord.h"
