#include "app/qt/LogindWakeSource.h"

namespace kestrel {

namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kPrepareForSleep = QStringLiteral("PrepareForSleep");

}  // namespace

LogindWakeSource::LogindWakeSource(QDBusConnection bus) : bus_(std::move(bus)) {
    listening_ =
        bus_.isConnected() && bus_.connect(kLogindService, kLogindPath, kLogindManager,
                                           kPrepareForSleep, this, SLOT(onPrepareForSleep(bool)));
    if (!listening_) {
        log_.info("no system bus: wake from sleep is not reported");
    }
}

LogindWakeSource::~LogindWakeSource() {
    if (listening_) {
        bus_.disconnect(kLogindService, kLogindPath, kLogindManager, kPrepareForSleep, this,
                        SLOT(onPrepareForSleep(bool)));
    }
}

Handle LogindWakeSource::observeWake(std::function<void()> onWake) {
    return woke_.connect(std::move(onWake));
}

void LogindWakeSource::onPrepareForSleep(bool starting) {
    if (!starting) {
        woke_.emit();
    }
}

}  // namespace kestrel
