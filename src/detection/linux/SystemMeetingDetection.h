#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "detection/AppGenuineness.h"
#include "detection/DetectionChoices.h"
#include "detection/MeetingDetectionService.h"

#include <memory>

namespace tallyvox {

// The product's detection: the sound server's streams, /proc, and the makers' trust list.
std::unique_ptr<MeetingDetectionService>
makeSystemMeetingDetection(Executor& main, Clock& clock, TrustList trust, DetectionChoices choices);

} // namespace tallyvox
