#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

#include <memory>

#include "app/startup/AppDelegate.h"
#include "app/update/UpdateCheck.h"

namespace kestrel {

// The running application's control object, "/dev/corvid/kestrel" with interface
// "dev.corvid.kestrel.Control". Calls run on the main thread; the delegate is held weakly.
class DBusControl final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "dev.corvid.kestrel.Control")

  public:
    explicit DBusControl(std::weak_ptr<AppDelegate> delegate);
    ~DBusControl() override;

    // Exports the object on `bus`; false when the path is taken or there is no bus.
    bool registerOn(QDBusConnection bus);

    // The status as JSON: mode, forceAway, autoAway, loops, activeLoop, recording, engineStarted,
    // the engine's dispatch counters, what away shows ("loop", "still" or null), the loop's load
    // error (or null) and whether auto-away can work at all.
    static QString statusJson(const AppStatus& status);

    // Answers CheckForUpdates; without one (a build whose updates come from the distribution)
    // the call fails with "dev.corvid.kestrel.Error.Update".
    void setUpdateService(std::weak_ptr<UpdateCheckService> updates) {
        updates_ = std::move(updates);
    }
    // An update check's result as JSON: current, latest, updateAvailable, url.
    static QString updateJson(const UpdateCheckResult& result);

  public Q_SLOTS:
    void ToggleForceAway();
    void SetForceAway(bool on);
    // True when a recording began, false when one was already running; the error
    // "dev.corvid.kestrel.Error.Recorder" when the recorder cannot start one.
    bool StartRecording();
    // The saved loop's path once it is written, "" when nothing was recording or writing failed.
    QString StopRecording();
    QString Status();
    // Runs an update check (or joins the running one) and answers with updateJson once it ends;
    // the error "dev.corvid.kestrel.Error.Update" says why a check failed.
    QString CheckForUpdates();

  private:
    std::shared_ptr<AppDelegate> delegateOrError();

    std::weak_ptr<AppDelegate> delegate_;
    std::weak_ptr<UpdateCheckService> updates_;
    QDBusConnection bus_{QString()};
    bool registered_ = false;
};

}  // namespace kestrel
