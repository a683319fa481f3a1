#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QSystemTrayIcon>
#include <QTest>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "app/ui/TrayController.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeLoopRecording.h"
#include "tests/support/PrivateBus.h"

// The status icon on a private X server and session bus, with and without a tray host. Qt decides
// once per process whether a tray exists, so each case must run in a process of its own (CTest
// runs every case separately).

namespace kestrel::ui {
namespace {

// Upper bound for the tray's replies; the wait ends as soon as they come.
constexpr int kStartTimeoutMs = 10'000;

// One X server, one session bus and the stand-in watcher for this process.
struct Desktop {
    Desktop() {
        if (xvfb.line().empty() || bus.address().empty()) {
            return;
        }
        setenv("DISPLAY", (":" + xvfb.line()).c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Started once the bus is in the environment.
        watcher = std::make_unique<testing::ReadyChild>(
            std::vector<std::string>{"/usr/bin/python3", KESTREL_WATCHER_SCRIPT});
        if (watcher->line() != "ready") {
            return;
        }
        static int argc = 1;
        static char name[] = "app_tray_tests";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        ready = true;
    }
    testing::ReadyChild xvfb{{testing::ChildProcess::which("Xvfb"), "-displayfd", "1", "-nolisten",
                              "tcp", "-screen", "0", "1280x800x24"}};
    testing::PrivateBus bus;
    std::unique_ptr<testing::ReadyChild> watcher;
    std::unique_ptr<QApplication> app;
    bool ready = false;
};

struct Rig {
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    ManualExecutor main;
    RecordButtonState record{std::make_shared<testing::FakeLoopRecording>(), main,
                             main.hostClock()};
    TrayController tray{state, record, PopoverActions{}, main.hostClock()};
};

// Calls a method of the tray item from a connection of its own, without blocking the main
// thread, which serves the item; true once a reply came.
bool callItem(const QString& service, const QString& path, const QString& interface,
              const QString& method, const QVariantList& arguments = {},
              QDBusMessage* reply = nullptr) {
    QDBusConnection probe =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("probe"));
    auto call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    QDBusPendingCall pending = probe.asyncCall(call);
    const bool done = QTest::qWaitFor([&] { return pending.isFinished(); }, kStartTimeoutMs);
    if (reply != nullptr) {
        *reply = pending.reply();
    }
    return done && pending.reply().type() == QDBusMessage::ReplyMessage;
}

QStringList registeredItems() {
    QDBusMessage reply;
    callItem(QStringLiteral("org.kde.StatusNotifierWatcher"),
             QStringLiteral("/StatusNotifierWatcher"),
             QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
             {QStringLiteral("org.kde.StatusNotifierWatcher"),
              QStringLiteral("RegisteredStatusNotifierItems")},
             &reply);
    if (reply.arguments().isEmpty()) {
        return {};
    }
    return reply.arguments().first().value<QDBusVariant>().variant().toStringList();
}

TEST(Tray, RegistersWithTheWatcherExportsItsMenuAndActivateTogglesThePopover) {
    Desktop desktop;
    if (!desktop.ready) {
        GTEST_SKIP() << "Xvfb, dbus-daemon or python3-dbus missing";
    }
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    Rig rig;
    rig.tray.start(true);
    ASSERT_NE(rig.tray.trayIcon(), nullptr);
    EXPECT_EQ(rig.tray.fallbackWindow(), nullptr);

    QStringList items;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            items = registeredItems();
            return !items.isEmpty();
        },
        kStartTimeoutMs));
    const QString item = items.first();

    QDBusMessage menu;
    ASSERT_TRUE(callItem(item, QStringLiteral("/MenuBar"),
                         QStringLiteral("org.freedesktop.DBus.Introspectable"),
                         QStringLiteral("Introspect"), {}, &menu));
    EXPECT_TRUE(
        menu.arguments().value(0).toString().contains(QStringLiteral("com.canonical.dbusmenu")));

    const QString sni = QStringLiteral("org.kde.StatusNotifierItem");
    const QString path = QStringLiteral("/StatusNotifierItem");
    ASSERT_TRUE(callItem(item, path, sni, QStringLiteral("Activate"), {100, 10}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.tray.popover()->isVisible(); }));
    ASSERT_TRUE(callItem(item, path, sni, QStringLiteral("Activate"), {100, 10}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !rig.tray.popover()->isVisible(); }));

    // A click right after the popover hid itself is the click that hid it.
    rig.tray.togglePopover({100, 10});
    EXPECT_FALSE(rig.tray.popover()->isVisible());
    rig.main.advance(std::chrono::milliseconds(400));
    rig.tray.togglePopover({100, 10});
    EXPECT_TRUE(rig.tray.popover()->isVisible());
}

}  // namespace
}  // namespace kestrel::ui
