// Saved transcripts: text files the user (or anyone) may have edited, read back for search and
// export.
#include "transcripts/TranscriptReader.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto parsed = tallyvox::TranscriptReader::parse(
            std::string_view(reinterpret_cast<const char*>(data), size)))
        tallyvox::TranscriptReader::restore(*parsed, "/tmp/Fuzz_Meeting_10-00.txt");
    return 0;
}
