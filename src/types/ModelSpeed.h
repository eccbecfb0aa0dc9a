#pragma once

#include "types/MachineSpeed.h"
#include "types/WhisperModel.h"

#include <optional>
#include <vector>

namespace tallyvox::ModelSpeed {

// The engine's window, and the text real speech decodes to in it.
inline constexpr double windowSeconds = 20;
inline constexpr double tokensPerSecond = 3;

// What one window of full speech costs each model, in billions of the speed probe's
// operations: the seconds measured for a window times the probe's figure measured in the
// same run (bench/README.md), so dividing by another machine's probe figure predicts that
// machine's seconds.
double windowWork(WhisperModel model);

// What speaker labelling of one second of meeting audio costs, in the same operations
// (bench/README.md: 0.29 s a second on the machine of the table, probe about 66 GFLOPS).
inline constexpr double speakerWork = 19;

// Predicted seconds of recognition per second of audio, with `sources` channels full of
// speech (the meeting, and the microphone when it is on), plus speaker labelling of the
// meeting when `speakers`. A model this machine has run is predicted by its measured
// factor, speaker labelling likewise; the probe's figure stands in for what never ran.
double predictedFactor(WhisperModel model, const MachineSpeed& speed, int sources,
                       bool speakers = false);

// The models from the most accurate to the fastest.
const std::vector<WhisperModel>& byAccuracy();

// The most accurate model below `ceiling` in accuracy, the ceiling included, whose predicted
// factor for `sources` channels stays at or under `limit`; the fastest one when none does.
WhisperModel mostAccurateKeepingUp(WhisperModel ceiling, const MachineSpeed& speed, int sources,
                                   double limit, bool speakers = false);

// A model that recognises clearly faster than `current` (at most four fifths of its cost),
// for a user whose transcription falls behind: the most accurate one predicted to keep up,
// else the fastest; without a speed figure the most accurate of them; nothing when `current`
// is already the fastest.
std::optional<WhisperModel> fasterThan(WhisperModel current,
                                       const std::optional<MachineSpeed>& speed, int sources,
                                       double limit, bool speakers = false);

// The seconds one session spent per second of audio: recognition per second of each
// stream, and speaker labelling per second of the meeting (nothing when it labelled none).
// Nothing when too little audio was recognised for the figures to mean anything.
struct SessionCost {
    double recognition = 0;
    std::optional<double> speakers;
};
std::optional<SessionCost> sessionCost(double recognitionSeconds, double streamSeconds,
                                       double speakerSeconds, double meetingSeconds);
// `speed` with one session's cost of `model` in place of what was kept before.
void keep(MachineSpeed& speed, WhisperModel model, const SessionCost& cost);

} // namespace tallyvox::ModelSpeed
