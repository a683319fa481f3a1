#include "app/qt/PortalHotKeyBackend.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include "app/hotkey/X11HotKeyBackend.h"

// Last: Xlib's macros would clash with Qt's names.
#include <X11/Xlib.h>

namespace kestrel {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString kShortcutId = QStringLiteral("toggle-force-away");
const QString kShortcutDescription = QStringLiteral("Toggle force away");

// One shortcut as BindShortcuts takes it: (id, {description, preferred_trigger}).
struct ShortcutEntry {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const ShortcutEntry& entry) {
    argument.beginStructure();
    argument << entry.id << entry.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ShortcutEntry& entry) {
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.endStructure();
    return argument;
}

}  // namespace

}  // namespace kestrel

Q_DECLARE_METATYPE(kestrel::ShortcutEntry)

namespace kestrel {

std::string PortalHotKeyBackend::preferredTrigger(const KeyCombo& combo) {
    const auto key = combo.key();
    const char* name = key ? XKeysymToString(X11HotKeyBackend::keySymbol(*key)) : nullptr;
    if (name == nullptr) {
        return {};
    }
    std::string text;
    const std::pair<std::uint32_t, const char*> modifiers[] = {{carbon::kCommand, "LOGO+"},
                                                               {carbon::kControl, "CTRL+"},
                                                               {carbon::kOption, "ALT+"},
                                                               {carbon::kShift, "SHIFT+"}};
    for (const auto& [mask, word] : modifiers) {
        if ((combo.carbonModifiers & mask) != 0) {
            text += word;
        }
    }
    return text + name;
}

PortalHotKeyBackend::PortalHotKeyBackend(QDBusConnection bus,
                                         std::shared_ptr<HotKeyBackend> fallback)
    : bus_(std::move(bus)), fallback_(std::move(fallback)) {
    qDBusRegisterMetaType<ShortcutEntry>();
    qDBusRegisterMetaType<QList<ShortcutEntry>>();
    if (!bus_.isConnected()) {
        useFallback("no session bus");
        return;
    }
    watcher_ = new QDBusServiceWatcher(kPortalService, bus_,
                                       QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            &PortalHotKeyBackend::onPortalGone);
    // Whether the portal offers the interface at all: its version property answers only then.
    auto probe = QDBusMessage::createMethodCall(kPortalService, kPortalPath,
                                                QStringLiteral("org.freedesktop.DBus.Properties"),
                                                QStringLiteral("Get"));
    probe << kShortcutsInterface << QStringLiteral("version");
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(probe), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        if (done->isError()) {
            useFallback("the desktop portal offers no global shortcuts (" +
                        done->error().name().toStdString() + ")");
            return;
        }
        createSession();
    });
    bus_.connect(kPortalService, kPortalPath, kShortcutsInterface, QStringLiteral("Activated"),
                 this, SLOT(onActivated(QDBusMessage)));
    bus_.connect(kPortalService, kPortalPath, kShortcutsInterface, QStringLiteral("Deactivated"),
                 this, SLOT(onDeactivated(QDBusMessage)));
    bus_.connect(kPortalService, kPortalPath, kShortcutsInterface,
                 QStringLiteral("ShortcutsChanged"), this, SLOT(onShortcutsChanged(QDBusMessage)));
}

PortalHotKeyBackend::~PortalHotKeyBackend() {
    dropRequest();
    if (!session_.isEmpty() && bus_.isConnected()) {
        bus_.call(QDBusMessage::createMethodCall(kPortalService, session_, kSessionInterface,
                                                 QStringLiteral("Close")),
                  QDBus::NoBlock);
    }
}

bool PortalHotKeyBackend::registerHotKey(const KeyCombo& combo, std::uint32_t signature,
                                         std::uint32_t id) {
    registrations_[id] = Registration{combo, signature};
    switch (state_) {
        case State::probing:
            return true;
        case State::portal:
            bind();
            return true;
        case State::fallback:
            break;
    }
    const bool grabbed = fallback_ && fallback_->registerHotKey(combo, signature, id);
    if (!grabbed && !toldToBindOnce_) {
        toldToBindOnce_ = true;
        log_.info(
            "no global shortcut service takes %{public}@: bind `kestrel --toggle-away` to "
            "a desktop shortcut instead",
            combo.description());
    }
    return grabbed;
}

void PortalHotKeyBackend::unregisterHotKey(std::uint32_t id) {
    if (registrations_.erase(id) != 0 && state_ == State::fallback && fallback_) {
        fallback_->unregisterHotKey(id);
    }
}

void PortalHotKeyBackend::installEventHandler(EventHandler handler) {
    handler_ = std::move(handler);
    if (fallback_) {
        fallback_->installEventHandler(handler_);
    }
}

void PortalHotKeyBackend::request(const QString& method, QList<QVariant> arguments,
                                  Pending pending) {
    // The answer arrives on a request object whose path the token fixes, so the subscription
    // can be made before the call and no answer slips past it.
    const QString token = QStringLiteral("kestrel%1").arg(++tokens_);
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    dropRequest();
    requestPath_ = kPortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    bus_.connect(kPortalService, requestPath_, kRequestInterface, QStringLiteral("Response"), this,
                 SLOT(onResponse(QDBusMessage)));
    pending_ = pending;
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    auto call =
        QDBusMessage::createMethodCall(kPortalService, kPortalPath, kShortcutsInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method, pending](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                if (pending_ != pending) {
                    return;
                }
                if (done->isError()) {
                    dropRequest();
                    useFallback("the desktop portal's " + method.toStdString() +
                                " failed: " + done->error().message().toStdString());
                    return;
                }
                // Portals older than the handle tokens answer on a request path of their own.
                const QDBusPendingReply<QDBusObjectPath> reply = *done;
                const QString path = reply.value().path();
                if (!path.isEmpty() && path != requestPath_) {
                    dropRequest();
                    pending_ = pending;
                    requestPath_ = path;
                    bus_.connect(kPortalService, requestPath_, kRequestInterface,
                                 QStringLiteral("Response"), this, SLOT(onResponse(QDBusMessage)));
                }
            });
}

void PortalHotKeyBackend::dropRequest() {
    if (!requestPath_.isEmpty()) {
        bus_.disconnect(kPortalService, requestPath_, kRequestInterface, QStringLiteral("Response"),
                        this, SLOT(onResponse(QDBusMessage)));
        requestPath_.clear();
    }
    pending_ = Pending::none;
}

void PortalHotKeyBackend::createSession() {
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"),
                   QStringLiteral("kestrel%1").arg(tokens_));
    request(QStringLiteral("CreateSession"), {options}, Pending::session);
}

void PortalHotKeyBackend::bind() {
    if (bound_ || pending_ != Pending::none || registrations_.empty()) {
        return;
    }
    // The application has one global combination; the first registration names its trigger.
    QVariantMap properties;
    properties.insert(QStringLiteral("description"), kShortcutDescription);
    const auto trigger = preferredTrigger(registrations_.begin()->second.combo);
    if (!trigger.empty()) {
        properties.insert(QStringLiteral("preferred_trigger"), QString::fromStdString(trigger));
    }
    const QList<ShortcutEntry> shortcuts{ShortcutEntry{kShortcutId, properties}};
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
             QString(), QVariantMap()},
            Pending::binding);
}

void PortalHotKeyBackend::onResponse(const QDBusMessage& message) {
    const auto pending = pending_;
    dropRequest();
    const auto arguments = message.arguments();
    const unsigned code = arguments.value(0).toUInt();
    QVariantMap results;
    if (arguments.size() > 1) {
        arguments.at(1).value<QDBusArgument>() >> results;
    }
    if (pending == Pending::session) {
        session_ = results.value(QStringLiteral("session_handle")).toString();
        if (code != 0 || session_.isEmpty()) {
            session_.clear();
            useFallback("the desktop portal refused a global shortcut session (response " +
                        std::to_string(code) + ")");
            return;
        }
        state_ = State::portal;
        log_.info("global shortcuts through the desktop portal");
        bind();
    } else if (pending == Pending::binding) {
        if (code != 0) {
            useFallback("the desktop portal did not bind the shortcut (response " +
                        std::to_string(code) + ")");
            return;
        }
        bound_ = true;
        const auto shortcuts = results.value(QStringLiteral("shortcuts"));
        if (shortcuts.canConvert<QDBusArgument>()) {
            updateTrigger(shortcuts.value<QDBusArgument>());
        }
    }
}

void PortalHotKeyBackend::updateTrigger(const QDBusArgument& shortcuts) {
    QList<ShortcutEntry> entries;
    shortcuts >> entries;
    for (const auto& entry : entries) {
        if (entry.id != kShortcutId) {
            continue;
        }
        const auto text =
            entry.properties.value(QStringLiteral("trigger_description")).toString().toStdString();
        if (text != trigger_) {
            trigger_ = text;
            log_.info("the desktop portal's shortcut: %{public}@", trigger_);
            if (onTriggerChanged) {
                onTriggerChanged(trigger_);
            }
        }
    }
}

void PortalHotKeyBackend::report(const QDBusMessage& message, HotKeyEvent::Kind kind) {
    const auto arguments = message.arguments();
    if (state_ != State::portal || arguments.size() < 2 || registrations_.empty() || !handler_ ||
        arguments.at(0).value<QDBusObjectPath>().path() != session_ ||
        arguments.at(1).toString() != kShortcutId) {
        return;
    }
    const auto& [id, registration] = *registrations_.begin();
    handler_(HotKeyEvent{registration.signature, id, kind});
}

void PortalHotKeyBackend::onActivated(const QDBusMessage& message) {
    report(message, HotKeyEvent::Kind::pressed);
}

void PortalHotKeyBackend::onDeactivated(const QDBusMessage& message) {
    report(message, HotKeyEvent::Kind::released);
}

void PortalHotKeyBackend::onShortcutsChanged(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() >= 2 && arguments.at(0).value<QDBusObjectPath>().path() == session_) {
        updateTrigger(arguments.at(1).value<QDBusArgument>());
    }
}

void PortalHotKeyBackend::onPortalGone() {
    if (state_ == State::fallback) {
        return;
    }
    session_.clear();
    dropRequest();
    useFallback("the desktop portal left the session bus");
}

void PortalHotKeyBackend::useFallback(const std::string& why) {
    if (state_ == State::fallback) {
        return;
    }
    state_ = State::fallback;
    bound_ = false;
    log_.info("%{public}@: global shortcuts through the X server", why);
    if (!trigger_.empty()) {
        trigger_.clear();
        if (onTriggerChanged) {
            onTriggerChanged(trigger_);
        }
    }
    const auto registrations = registrations_;
    for (const auto& [id, registration] : registrations) {
        registerHotKey(registration.combo, registration.signature, id);
    }
}

}  // namespace kestrel
