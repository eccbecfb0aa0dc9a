#include "detection/linux/SystemMeetingDetection.h"

#include "detection/NativeMeetingDetection.h"
#include "detection/linux/ProcFs.h"
#include "detection/linux/PulseProcessList.h"

namespace tallyvox {

std::unique_ptr<MeetingDetectionService> makeSystemMeetingDetection(Executor& main, Clock& clock,
                                                                    TrustList trust,
                                                                    DetectionChoices choices) {
    return std::make_unique<NativeMeetingDetection>(
        main, clock, std::make_shared<PulseProcessList>(), std::make_shared<ProcFs>(),
        std::move(trust), std::move(choices));
}

} // namespace tallyvox
