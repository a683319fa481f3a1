// The portal hot-key backend against a stand-in GlobalShortcuts portal (fake_portal.py) on the
// private bus of the dbus-run-session this binary runs under (ctest starts it so).

#include "app/qt/PortalHotKeyBackend.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "app/hotkey/HotKeysController.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CoreApplication.h"
#include "tests/support/FakeHotKeyBackend.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

class PortalHotKeyBackendTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::coreApplication(); }
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
            GTEST_SKIP() << "no session bus: run this test under dbus-run-session (ctest does)";
        }
    }
    void TearDown() override { portal.stop(); }

    void startPortal(const char* mode) {
        portal = testing::ChildProcess({"/usr/bin/python3", KESTREL_FAKE_PORTAL, mode}, {});
        ASSERT_TRUE(pump([this] { return portalOwned(); }));
    }
    bool portalOwned() const {
        return bus.interface()
            ->isServiceRegistered(QStringLiteral("org.freedesktop.portal.Desktop"))
            .value();
    }
    QDBusMessage callPortal(const QString& method, const QVariantList& arguments = {}) {
        auto call =
            QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                           QStringLiteral("/org/freedesktop/portal/desktop"),
                                           QStringLiteral("dev.corvid.test.FakePortal"), method);
        call.setArguments(arguments);
        return bus.call(call);
    }
    // The application's one hot key, Super+Shift+A, counting its presses and releases.
    void registerHotKey(std::shared_ptr<HotKeyBackend> backend) {
        controller = std::make_shared<HotKeysController>(std::move(backend));
        hotKey = HotKey::create(
            controller, Key::a, modifier::kCommand | modifier::kShift, [this] { ++presses; },
            [this] { ++releases; });
    }
    static bool pump(const std::function<bool()>& done) {
        return testing::waitFor(done, 10s, [] { QCoreApplication::processEvents(); });
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    testing::ChildProcess portal;
    testing::LogCapture log;
    std::shared_ptr<testing::FakeHotKeyBackend> fallback =
        std::make_shared<testing::FakeHotKeyBackend>();
    std::shared_ptr<HotKeysController> controller;
    std::shared_ptr<HotKey> hotKey;
    int presses = 0;
    int releases = 0;
};

TEST_F(PortalHotKeyBackendTest, BindsTheShortcutTogglesOncePerActivationAndOutlivesThePortal) {
    startPortal("accept");
    auto backend = std::make_shared<PortalHotKeyBackend>(bus, fallback);
    std::string reported;
    backend->onTriggerChanged = [&reported](const std::string& trigger) { reported = trigger; };
    registerHotKey(backend);
    ASSERT_TRUE(pump([&] { return !backend->trigger().empty(); }));
    EXPECT_EQ(backend->state(), PortalHotKeyBackend::State::portal);
    EXPECT_EQ(reported, "Press Super+Shift+A");
    EXPECT_EQ(callPortal(QStringLiteral("Bound"))
                  .arguments()
                  .value(0)
                  .toStringList()
                  .join(QLatin1Char(','))
                  .toStdString(),
              "toggle-force-away LOGO+SHIFT+a");

    callPortal(QStringLiteral("Emit"), {QStringLiteral("Activated")});
    callPortal(QStringLiteral("Emit"), {QStringLiteral("Deactivated")});
    callPortal(QStringLiteral("Emit"), {QStringLiteral("Activated")});
    ASSERT_TRUE(pump([&] { return presses == 2; }));
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(fallback->registrations, 0);

    // The portal goes away: the X11 grab takes over and the trigger is gone with the portal.
    portal.stop();
    ASSERT_TRUE(pump([&] { return backend->state() == PortalHotKeyBackend::State::fallback; }));
    EXPECT_EQ(fallback->grabs.size(), 1U);
    EXPECT_EQ(reported, "");
}

TEST_F(PortalHotKeyBackendTest, ARefusedSessionOrNoPortalLeavesTheGrabInChargeAndSaysSoOnce) {
    startPortal("refuse");
    auto refused = std::make_shared<PortalHotKeyBackend>(bus, fallback);
    registerHotKey(refused);
    ASSERT_TRUE(pump([&] { return refused->state() == PortalHotKeyBackend::State::fallback; }));
    EXPECT_EQ(fallback->grabs.count(1), 1U);
    portal.stop();
    ASSERT_TRUE(pump([this] { return !portalOwned(); }));

    // Nothing offers global shortcuts: one line tells the user what to bind instead.
    fallback = std::make_shared<testing::FakeHotKeyBackend>();
    fallback->refuse = true;
    auto none = std::make_shared<PortalHotKeyBackend>(bus, fallback);
    registerHotKey(none);
    ASSERT_TRUE(pump([&] { return none->state() == PortalHotKeyBackend::State::fallback; }));
    hotKey->setPaused(true);
    hotKey->setPaused(false);
    EXPECT_EQ(fallback->registrations, 2);
    EXPECT_EQ(log->count("kestrel --toggle-away"), 1U);
}

}  // namespace
}  // namespace kestrel
