#include "transcripts/TranscriptRecord.h"

#include "transcripts/TranscriptFormat.h"

namespace tallyvox {

std::string TranscriptRecord::title() const {
    if (meetingTitle)
        return TranscriptFormat::oneLine(*meetingTitle);
    return std::string(rawValue(meeting.platform)) + " Meeting";
}

std::string TranscriptRecord::platformName() const {
    std::string name;
    switch (meeting.platform) {
    case Platform::zoom:
        name = "Zoom";
        break;
    case Platform::teams:
        name = "Microsoft Teams";
        break;
    case Platform::meet:
        name = "Google Meet";
        break;
    }
    if (meeting.isWeb)
        name += " (" + meeting.appName + ")";
    return name;
}

} // namespace tallyvox
