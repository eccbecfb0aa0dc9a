#include "ui/ManagerWatch.h"

#include <QMetaObject>

namespace tallyvox::ui {

ManagerWatch::ManagerWatch(QObject* owner, AppLifecycleManager& manager,
                           std::function<void()> changed)
    : owner_(owner)
    , changed_(std::move(changed)) {
    add(manager.session);
    watchTranscript(manager.live());
    add(manager.modelLoading);
    add(manager.micMutedByUser);
    add(manager.meetingMuted);
    add(manager.finishing);
    add(manager.lastError);
    add(manager.micSilent);
    add(manager.automatic);
    add(manager.standingConsentIgnored);
    add(manager.savedTranscript);
    add(manager.fallingBehind);
    add(manager.whisper().downloading);
    add(manager.whisper().progress);
    add(manager.whisper().downloadError);
    add(manager.detection().meetings);
    add(manager.detection().automationDenied);
}

ManagerWatch::ManagerWatch(QObject* owner, LiveTranscript& transcript,
                           std::function<void()> changed)
    : owner_(owner)
    , changed_(std::move(changed)) {
    watchTranscript(transcript);
}

void ManagerWatch::watchTranscript(LiveTranscript& transcript) {
    add(transcript.segments);
    add(transcript.speakerNames);
    add(transcript.matchedNames);
    add(transcript.roster);
    add(transcript.record);
}

void ManagerWatch::schedule() {
    if (*pending_ || !owner_)
        return;
    *pending_ = true;
    QMetaObject::invokeMethod(
        owner_.data(),
        [pending = pending_, changed = changed_] {
            *pending = false;
            changed();
        },
        Qt::QueuedConnection);
}

} // namespace tallyvox::ui
