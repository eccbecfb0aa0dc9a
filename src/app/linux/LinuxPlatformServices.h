#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "detection/AppGenuineness.h"
#include "session/PlatformServices.h"

#include <string>

namespace tallyvox::linux_services {

// The real services of a Linux desktop for the session manager: the sound server for
// meeting audio, microphone and detection, whisper.cpp, the desktop's notifications,
// logind's sleep signals, the autostart entry and the Trash. `executable` is what the
// autostart entry starts; `trust` says which meeting apps are genuine.
// The user's useGPU setting, read afresh from the preferences file: a change in the settings
// window applies to the next model loaded.
bool useGPUSetting();

PlatformServices linuxPlatformServices(Executor& main, Clock& clock, const std::string& executable,
                                       const TrustList& trust = AppGenuineness::vendors());

} // namespace tallyvox::linux_services
