#pragma once

#include "settings/WordMemory.h"

#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::WordFix {

struct Applied {
    std::string text;
    int count = 0;

    bool operator==(const Applied&) const = default;
};

// Replaces every whole-word occurrence of `word` (any case) in `text` by `fix` as given.
// Letters and digits on either side, any script, make an occurrence part of a longer word.
Applied apply(std::string_view word, std::string_view fix, std::string_view text);

// The recogniser's vocabulary with the learned words appended.
std::string prompt(std::string_view vocabulary, const std::vector<std::string>& words);

} // namespace tallyvox::WordFix
