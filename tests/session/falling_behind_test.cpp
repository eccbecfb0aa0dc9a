#include "session/FallingBehind.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

TEST(FallingBehind, SaysKeepsUpOnlyOfAModelPredictedToAndOffersOnlyWhatIsOn) {
    FallingBehind behind{.waitingSeconds = 75.6, .faster = WhisperModel::tiny};
    EXPECT_EQ(behind.advice(),
              "75 s of audio are waiting to be transcribed. Tiny is faster: choose it in "
              "Settings \u203a Transcription. Close other busy programs.");
    behind.micOn = true;
    behind.speakersOn = true;
    EXPECT_EQ(behind.text(),
              "Transcription is falling behind: 75 s of audio are waiting to be transcribed. "
              "Tiny is faster: choose it in Settings \u203a Transcription. Close other busy "
              "programs, turn off \"Include my microphone\", or turn off speaker labels.");
    behind.faster.reset();
    behind.micOn = false;
    EXPECT_EQ(behind.advice(), "75 s of audio are waiting to be transcribed. Close other busy "
                               "programs, or turn off speaker labels.");

    // The headless mode has no settings window: the command that changes the model.
    FallingBehind headless{.waitingSeconds = 61,
                           .faster = WhisperModel::base,
                           .fasterKeepsUp = true,
                           .commandLine = true};
    EXPECT_EQ(headless.text(),
              "Transcription is falling behind: 61 s of audio are waiting to be transcribed. "
              "Base keeps up on this computer: tallyvox-cli settings set whisperModel base.");
    EXPECT_EQ(headless.advice().find("Settings \u203a"), std::string::npos);
}

} // namespace
} // namespace tallyvox
