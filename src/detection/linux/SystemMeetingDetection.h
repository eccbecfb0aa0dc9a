#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "detection/AppGenuineness.h"
#include "detection/DetectionChoices.h"
#include "detection/MeetingDetectionService.h"

#include <memory>

namespace tallyvox {

class PulseClient;

// The product's detection: the sound server's streams (through `sound`, the process's
// client; without one, a connection of its own), /proc, and the makers' trust list.
std::unique_ptr<MeetingDetectionService>
makeSystemMeetingDetection(Executor& main, Clock& clock, TrustList trust, DetectionChoices choices,
                           std::shared_ptr<PulseClient> sound = nullptr);

} // namespace tallyvox
