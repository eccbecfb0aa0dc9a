#pragma once

#include <string_view>

// Measures a property list before libplist reads it. libplist builds and frees its tree
// recursively and follows shared references blindly, so a hostile file could exhaust the
// stack or unfold into far more than it holds; these walks refuse such files first.
namespace tallyvox::PlistScan {

// How deeply containers may nest.
inline constexpr int maxDepth = 256;

// XML: nested at most maxDepth deep, as libplist's parser would read it.
bool xmlWithinLimits(std::string_view xml);
// Binary ("bplist00"): nested at most maxDepth deep and unfolding to at most maxPlistBytes.
bool binaryWithinLimits(std::string_view bytes);

} // namespace tallyvox::PlistScan
