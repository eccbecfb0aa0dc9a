#pragma once

#include "base/Error.h"
#include "types/WhisperModel.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tallyvox::ModelQuantiser {

// What a copy was made from and what it is: lower-case hex SHA-256 digests.
struct Made {
    std::string sourceSha256;
    std::string copySha256;
    std::int64_t bytes = 0;
};

// Writes `target`, a copy of the whisper.cpp model file `source` whose weight matrices are
// quantised to `variant` by ggml's own quantisation; everything else is copied as it is.
// When `sourceSha256` is given the source must have that digest. Every size the file states
// is checked against the file before it is used. Throws Error worded for the user; on failure
// nothing is left at `target` (a file already there stays as it was).
Made quantise(const std::filesystem::path& source, const std::filesystem::path& target,
              WhisperModel::Variant variant, std::string_view sourceSha256 = {});

// Makes `model`'s copy (a variant) from its downloaded original, checked against the pinned
// digest, and records both digests beside it.
Made makeCopy(WhisperModel model);

// The digests a copy was made with, as its record holds them.
struct Record {
    WhisperModel::Variant variant = WhisperModel::Variant::original;
    std::string sourceSha256;
    std::string copySha256;
};
std::string recordText(const Record& record);
std::optional<Record> parseRecord(std::string_view text);

// Whether `model`'s copy is there, made from the pinned original, and still has the digest it
// was made with. Empty when it is; otherwise why not, for the log and the list.
std::optional<std::string> copyProblem(WhisperModel model);

// The file to load for `model`: a variant's copy when copyProblem() finds none, else the
// original, with a log line saying why.
std::filesystem::path fileToLoad(WhisperModel model);

} // namespace tallyvox::ModelQuantiser
