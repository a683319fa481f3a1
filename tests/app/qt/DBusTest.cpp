// The session-bus pieces against the private bus of the dbus-run-session this binary runs under
// (ctest starts it so). A second connection to the same bus stands in for another process.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "app/qt/DBusControl.h"
#include "app/qt/DBusNames.h"
#include "app/qt/DBusToggleSignal.h"
#include "app/qt/LogindWakeSource.h"
#include "tests/app/startup/DelegateRig.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CoreApplication.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

class DBusTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::coreApplication(); }
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
            GTEST_SKIP() << "no session bus: run this test under dbus-run-session (ctest does)";
        }
    }
    void TearDown() override {
        for (const auto& name : peers_) {
            QDBusConnection::disconnectFromBus(name);
        }
    }

    QDBusConnection peer(const QString& name) {
        peers_.append(name);
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    }
    // Runs the event loop until `done` holds, for at most five seconds.
    static bool pump(const std::function<bool()>& done) {
        return testing::waitFor(done, 5s, [] { QCoreApplication::processEvents(); });
    }
    static QDBusMessage call(QDBusConnection& from, const QString& method,
                             const QVariantList& arguments = {}) {
        auto message =
            QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(),
                                           dbus::kControlPath, dbus::kControlInterface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = from.asyncCall(message);
        pump([&] { return pending.isFinished(); });
        return pending.reply();
    }

  private:
    QStringList peers_;
};

TEST_F(DBusTest, ToggleSignalArrivesFromAnyPathButOnlyUnderItsOwnName) {
    DBusToggleSignal receiver(QDBusConnection::sessionBus());
    ASSERT_TRUE(receiver.listening());
    int toggles = 0;
    const Handle observation = receiver.observeToggle([&] { ++toggles; });

    auto sender = peer(QStringLiteral("toggle-sender"));
    sender.send(QDBusMessage::createSignal(QStringLiteral("/elsewhere"), dbus::kToggleInterface,
                                           QStringLiteral("somethingElse")));
    sender.send(QDBusMessage::createSignal(QStringLiteral("/elsewhere"), dbus::kToggleInterface,
                                           dbus::kToggleMember));
    ASSERT_TRUE(DBusToggleSignal::send(sender));
    // One sender's messages arrive in order: the wrong member came before the two toggles.
    ASSERT_TRUE(pump([&] { return toggles == 2; })) << toggles;

    EXPECT_FALSE(DBusToggleSignal::send(QDBusConnection(QStringLiteral("no-such-connection"))));
}

TEST_F(DBusTest, WakeIsPrepareForSleepFalseFromLogindOnlyAndNeedsABus) {
    auto logind = peer(QStringLiteral("logind"));
    ASSERT_TRUE(logind.registerService(QStringLiteral("org.freedesktop.login1")));
    LogindWakeSource source(QDBusConnection::sessionBus());
    ASSERT_TRUE(source.listening());
    int wakes = 0;
    const Handle observation = source.observeWake([&] { ++wakes; });
    // Each sender ends with a toggle: once both toggles arrived, so did everything sent before.
    DBusToggleSignal barrier(QDBusConnection::sessionBus());
    int toggles = 0;
    const Handle barrierObservation = barrier.observeToggle([&] { ++toggles; });

    const auto prepareForSleep = [](bool starting) {
        auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                 QStringLiteral("org.freedesktop.login1.Manager"),
                                                 QStringLiteral("PrepareForSleep"));
        signal << starting;
        return signal;
    };
    // Someone else's signal of the same shape is not logind's.
    auto impostor = peer(QStringLiteral("impostor"));
    impostor.send(prepareForSleep(false));
    ASSERT_TRUE(DBusToggleSignal::send(impostor));

    logind.send(prepareForSleep(true));
    logind.send(prepareForSleep(false));
    ASSERT_TRUE(DBusToggleSignal::send(logind));
    ASSERT_TRUE(pump([&] { return toggles == 2; }));
    EXPECT_EQ(wakes, 1);

    // Without a bus there are no wake-ups, and that is said once.
    testing::LogCapture logs;
    LogindWakeSource none(QDBusConnection(QStringLiteral("no-such-connection")));
    EXPECT_FALSE(none.listening());
    EXPECT_EQ(logs->messages("Wake").size(), 1U);
}

class DBusControlTest : public DBusTest, public testing::DelegateRig {};

TEST_F(DBusControlTest, ReportsStatusAndFailsRecordingWithoutARecorderOrADelegate) {
    auto delegate = launchSetUp();
    DBusControl control(delegate);
    ASSERT_TRUE(control.registerOn(QDBusConnection::sessionBus()));
    auto client = peer(QStringLiteral("control-client"));

    // Setting it is the command line's; toggling is a method only here.
    call(client, QStringLiteral("ToggleForceAway"));
    EXPECT_TRUE(delegate->state().manualOverride.get());
    call(client, QStringLiteral("ToggleForceAway"));
    EXPECT_FALSE(delegate->state().manualOverride.get());
    const auto status = call(client, QStringLiteral("Status"));
    ASSERT_EQ(status.type(), QDBusMessage::ReplyMessage) << status.errorMessage().toStdString();
    const auto json = QJsonDocument::fromJson(status.arguments().value(0).toString().toUtf8());
    EXPECT_EQ(json[QStringLiteral("forceAway")].toBool(true), false);
    EXPECT_EQ(json[QStringLiteral("engineStarted")].toBool(), true);
    EXPECT_EQ(json[QStringLiteral("mode")].toString(), QStringLiteral("live"));
    EXPECT_TRUE(json[QStringLiteral("activeLoop")].isNull());
    for (const char* counter : {"dispatchCount", "dispatchAwayCount", "dispatchAwayLoopMissCount",
                                "dispatchDropCount", "dispatchAwayLoopRepeatCount"}) {
        EXPECT_EQ(json[QLatin1String(counter)].toInt(-1), 0) << counter;
    }

    const auto started = call(client, QStringLiteral("StartRecording"));
    EXPECT_EQ(started.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(started.errorName(), dbus::kRecorderError);
    const auto stopped = call(client, QStringLiteral("StopRecording"));
    ASSERT_EQ(stopped.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(stopped.arguments().value(0).toString(), QString());

    delegate.reset();
    EXPECT_EQ(call(client, QStringLiteral("Status")).errorName(), dbus::kNotReadyError);
}

}  // namespace
}  // namespace kestrel
