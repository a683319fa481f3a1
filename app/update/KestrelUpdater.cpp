#include "app/update/KestrelUpdater.h"

#include <QDBusConnectionInterface>
#include <QEventLoop>

#include <cstdio>
#include <optional>

#include "app/qt/ControlClient.h"
#include "app/qt/DBusControl.h"
#include "app/qt/DBusNames.h"
#include "app/qt/QtExecutor.h"
#include "app/qt/QtSettingsStore.h"
#include "app/update/QtFeedFetcher.h"

namespace kestrel {

std::string_view kestrelVersion() {
    return KESTREL_VERSION;
}

std::shared_ptr<UpdateChecker> makeKestrelUpdater(Executor& executor,
                                                  std::shared_ptr<SettingsStore> settings) {
    auto delegate = std::make_shared<KestrelUpdaterDelegate>(settings);
    return UpdateChecker::create({executor, systemWallClock(), std::move(settings),
                                  std::make_shared<QtFeedFetcher>(executor), std::move(delegate),
                                  std::string(kestrelVersion())});
}

int runCheckUpdatesCommand(QDBusConnection bus) {
    if (bus.isConnected() && bus.interface()->isServiceRegistered(dbus::kServiceName).value()) {
        return runControlCommand(bus, ControlCommand{ControlCommand::Kind::checkUpdates});
    }
    QtExecutor executor;
    auto checker = makeKestrelUpdater(executor, std::make_shared<QtSettingsStore>());
    std::optional<UpdateCheckResult> result;
    QEventLoop loop;
    checker->checkForUpdates([&](const UpdateCheckResult& found) {
        result = found;
        loop.quit();
    });
    if (!result) {
        loop.exec();
    }
    if (!result->ok()) {
        std::fprintf(stderr, "kestrel: update check failed: %s\n", result->error.c_str());
        return 1;
    }
    std::printf("%s\n", DBusControl::updateJson(*result).toUtf8().constData());
    return 0;
}

}  // namespace kestrel
