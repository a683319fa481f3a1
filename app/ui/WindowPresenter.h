#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>

namespace kestrel::ui {

// "/dev/corvid/kestrel/window", interface "dev.corvid.kestrel.Window": a second start of kestrel
// calls `Present` to bring the running instance's window (or popover) forward.
class WindowPresenter final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "dev.corvid.kestrel.Window")

  public:
    explicit WindowPresenter(std::function<void()> present, QObject* parent = nullptr);
    bool registerOn(QDBusConnection bus);

    // Asks the instance that owns the application's name on `bus`; false when none answered.
    static bool presentRunning(QDBusConnection bus);

  public Q_SLOTS:
    void Present();

  private:
    std::function<void()> present_;
};

}  // namespace kestrel::ui
