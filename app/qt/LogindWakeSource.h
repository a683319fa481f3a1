#pragma once

#include <QDBusConnection>
#include <QObject>

#include "app/engine/FramePorts.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/Observable.h"

namespace kestrel {

// Wake from sleep as logind reports it: PrepareForSleep(false) from "org.freedesktop.login1" on
// the system bus (any bus in tests). Without a bus it logs that once and reports no wake-ups.
// Main thread only.
class LogindWakeSource final : public QObject, public WakeSource {
    Q_OBJECT

  public:
    explicit LogindWakeSource(QDBusConnection bus);
    ~LogindWakeSource() override;

    bool listening() const { return listening_; }
    Handle observeWake(std::function<void()> onWake) override;

  private Q_SLOTS:
    void onPrepareForSleep(bool starting);

  private:
    QDBusConnection bus_;
    bool listening_ = false;
    Signal<> woke_;
    Log log_{std::string(kAppLogSubsystem), "Wake"};
};

}  // namespace kestrel
