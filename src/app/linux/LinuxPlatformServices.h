#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "session/PlatformServices.h"

#include <string>

namespace tallyvox::linux_services {

// The real services of a Linux desktop for the session manager: the sound server for
// meeting audio, microphone and detection, whisper.cpp, the desktop's notifications,
// logind's sleep signals, the autostart entry and the Trash. `executable` is what the
// autostart entry starts.
PlatformServices linuxPlatformServices(Executor& main, Clock& clock, std::string executable);

} // namespace tallyvox::linux_services
