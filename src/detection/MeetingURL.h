#pragma once

#include "types/DetectedMeeting.h"

#include <optional>
#include <string_view>

namespace tallyvox::MeetingURL {

// The meeting service a browser tab's address belongs to: the Teams web apps, Zoom's web
// client ("/wc/" on zoom.us or a subdomain), or a Meet meeting code (abc-defg-hij). Landing
// pages, join links without the web client and anything unparseable are no meeting.
std::optional<Platform> platform(std::string_view url);

} // namespace tallyvox::MeetingURL
