#include "detection/linux/SystemMeetingDetection.h"

#include "audio/linux/PulseClient.h"
#include "detection/NativeMeetingDetection.h"
#include "detection/linux/BrowserSessionFiles.h"
#include "detection/linux/ProcFs.h"
#include "detection/linux/PulseProcessList.h"

namespace tallyvox {

std::unique_ptr<MeetingDetectionService>
makeSystemMeetingDetection(Executor& main, Clock& clock, TrustList trust, DetectionChoices choices,
                           std::shared_ptr<PulseClient> sound) {
    return std::make_unique<NativeMeetingDetection>(
        main, clock, std::make_shared<PulseProcessList>(std::move(sound)),
        std::make_shared<ProcFs>(), std::move(trust), std::move(choices), nullptr,
        std::make_shared<BrowserSessionFiles>(BrowserSessionFiles::UserFolders::ofUser()));
}

} // namespace tallyvox
