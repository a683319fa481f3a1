#pragma once

#include <QDBusConnection>
#include <QObject>

#include "app/startup/AppDelegate.h"
#include "platform/runtime/Observable.h"

namespace kestrel {

// The "toggleForceAway" signal of interface "dev.corvid.kestrel" on a bus, from any sender and
// path. Qt delivers it on the thread that owns this object (the main thread).
class DBusToggleSignal final : public QObject, public ToggleSignalSource {
    Q_OBJECT

  public:
    explicit DBusToggleSignal(QDBusConnection bus);
    ~DBusToggleSignal() override;

    // False when the bus refused the subscription (or there is no bus).
    bool listening() const { return listening_; }
    Handle observeToggle(std::function<void()> onToggle) override;

    // Sends the signal once and waits until the bus has taken it. False without a bus.
    static bool send(QDBusConnection bus);

  private Q_SLOTS:
    void onToggle();

  private:
    QDBusConnection bus_;
    bool listening_ = false;
    Signal<> toggled_;
};

}  // namespace kestrel
