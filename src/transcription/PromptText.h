#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text that steers recognition (vocabulary, learned words, the last line). whisper.cpp
// uses only the last n_text_ctx/2 tokens of it (224), and its tokenizer recurses once per
// byte of a word, so a long word overflows the stack and ends the process.
namespace tallyvox::PromptText {

// Most characters of vocabulary kept in the settings: about 150 tokens of ordinary words,
// which leaves room within the recogniser's 224 for the learned words and the last line.
inline constexpr std::size_t vocabularyCharacters = 500;
// Longest run of one kind (non-space or space bytes) the tokenizer is handed; no real word
// comes near it.
inline constexpr std::size_t longestRun = 64;
// Bytes of the prompt's end kept: 224 tokens are never longer than this in practice, and a
// tokenizer pass over it costs nothing next to recognition.
inline constexpr std::size_t longestText = 4096;

// Characters of `text`; a malformed byte counts as one.
std::size_t characters(std::string_view text);
// The first `count` characters of `text`.
std::string firstCharacters(std::string_view text, std::size_t count);
// The prompt with every run cut to longestRun bytes and its start dropped to longestText
// bytes, never splitting a UTF-8 sequence. Ordinary prompts come back unchanged.
std::string bounded(std::string_view text);

} // namespace tallyvox::PromptText
