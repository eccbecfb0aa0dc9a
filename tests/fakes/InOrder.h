#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallyvox::testing {

// Each needle found after the one before it: the order a document lays things out in.
inline ::testing::AssertionResult inOrder(const std::string& haystack,
                                          const std::vector<std::string>& needles) {
    std::size_t at = 0;
    for (const auto& needle : needles) {
        std::size_t found = haystack.find(needle, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure()
                   << "\"" << needle << "\" missing after byte " << at << " of:\n"
                   << haystack;
        at = found + needle.size();
    }
    return ::testing::AssertionSuccess();
}

} // namespace tallyvox::testing
