#pragma once

#include <cstddef>
#include <vector>

namespace tallyvox {

// Appends one fragment of a float32 record stream to `buffer`. A hole (no data, as the
// server reports audio it could not deliver) becomes silence of its length, so later audio
// keeps its place on the timeline.
void appendRecordFragment(std::vector<float>& buffer, const void* data, std::size_t bytes);

} // namespace tallyvox
