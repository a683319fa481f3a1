#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/hotkey/HotKeyBackend.h"
#include "platform/runtime/Log.h"

class QDBusArgument;
class QDBusServiceWatcher;

namespace kestrel {

// Global hot keys through the desktop portal's org.freedesktop.portal.GlobalShortcuts, the only
// way to get them on Wayland: a session of our own, the application's one combination bound as
// the shortcut "toggle-force-away" with the combination as its preferred trigger, and the
// portal's Activated and Deactivated signals reported as presses and releases.
//
// Until the portal answers, registrations are only kept. When the portal does not offer the
// interface, refuses the session or the binding, or leaves the bus later, `fallback` (the X11
// grab) takes every registration over; when that grabs nothing either, the log says once that
// `kestrel --toggle-away` can be bound to a desktop shortcut. Main thread only.
class PortalHotKeyBackend final : public QObject, public HotKeyBackend {
    Q_OBJECT

  public:
    enum class State { probing, portal, fallback };

    PortalHotKeyBackend(QDBusConnection bus, std::shared_ptr<HotKeyBackend> fallback);
    ~PortalHotKeyBackend() override;
    PortalHotKeyBackend(const PortalHotKeyBackend&) = delete;
    PortalHotKeyBackend& operator=(const PortalHotKeyBackend&) = delete;

    bool registerHotKey(const KeyCombo& combo, std::uint32_t signature, std::uint32_t id) override;
    void unregisterHotKey(std::uint32_t id) override;
    void installEventHandler(EventHandler handler) override;

    State state() const { return state_; }
    // The trigger as the portal describes it ("Press Super+Shift+A"), empty until it has one.
    const std::string& trigger() const { return trigger_; }
    // Called on the main thread whenever the portal reports a new trigger.
    std::function<void(const std::string&)> onTriggerChanged;

    // A combination in the shortcut notation the portal takes ("LOGO+SHIFT+a"); empty for a key
    // without a name there.
    static std::string preferredTrigger(const KeyCombo& combo);

  private Q_SLOTS:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);
    void onPortalGone();

  private:
    struct Registration {
        KeyCombo combo;
        std::uint32_t signature;
    };
    enum class Pending { none, session, binding };

    void createSession();
    void bind();
    // Sends a portal request whose answer comes as the Response signal of a request object.
    void request(const QString& method, QList<QVariant> arguments, Pending pending);
    void dropRequest();
    void useFallback(const std::string& why);
    void report(const QDBusMessage& message, HotKeyEvent::Kind kind);
    void updateTrigger(const QDBusArgument& shortcuts);

    QDBusConnection bus_;
    std::shared_ptr<HotKeyBackend> fallback_;
    QDBusServiceWatcher* watcher_ = nullptr;  // child of this
    State state_ = State::probing;
    std::map<std::uint32_t, Registration> registrations_;
    EventHandler handler_;
    QString session_;
    QString requestPath_;
    Pending pending_ = Pending::none;
    bool bound_ = false;
    bool toldToBindOnce_ = false;
    int tokens_ = 0;
    std::string trigger_;
    Log log_{std::string(kAppLogSubsystem), "HotKey"};
};

}  // namespace kestrel
