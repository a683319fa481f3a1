#include "app/ui/WindowPresenter.h"

#include <QDBusMessage>

#include <utility>

#include "app/qt/DBusNames.h"

namespace kestrel::ui {

namespace {
const QString kPath = QStringLiteral("/dev/corvid/kestrel/window");
const QString kInterface = QStringLiteral("dev.corvid.kestrel.Window");
constexpr int kPresentTimeoutMs = 3000;
}  // namespace

WindowPresenter::WindowPresenter(std::function<void()> present, QObject* parent)
    : QObject(parent), present_(std::move(present)) {}

bool WindowPresenter::registerOn(QDBusConnection bus) {
    return bus.isConnected() && bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots);
}

void WindowPresenter::Present() {
    if (present_) {
        present_();
    }
}

bool WindowPresenter::presentRunning(QDBusConnection bus) {
    const auto call = QDBusMessage::createMethodCall(dbus::kServiceName, kPath, kInterface,
                                                     QStringLiteral("Present"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, kPresentTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace kestrel::ui
