// kestrel: the camera engine over the test-pattern camera, headless, logging its status lines.

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/engine/CameraEngine.h"
#include "app/engine/StandIns.h"
#include "app/presence/LinuxPermissionBackend.h"
#include "app/presence/Permissions.h"
#include "app/qt/QtExecutor.h"
#include "app/qt/QtSettingsStore.h"
#include "app/sources/TestPatternCamera.h"
#include "app/state/AppState.h"

namespace {

void usage() {
    std::printf(
        "usage: kestrel [--seconds N] [--away]\n"
        "  Runs the camera engine over the test-pattern camera and logs its status.\n"
        "  --seconds N  quit after N seconds (default: run until interrupted)\n"
        "  --away       start in away mode\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel"));
    QCoreApplication::setOrganizationName(QStringLiteral("corvid"));

    int seconds = 0;
    bool away = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--away") {
            away = true;
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }

    using namespace kestrel;
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });

    QtExecutor main;
    auto permissions =
        std::make_shared<Permissions>(std::make_shared<AlwaysGrantedCameraBackend>(
                                          std::make_shared<LinuxPermissionBackend>(main)),
                                      main);
    AppState state(permissions, std::make_shared<QtSettingsStore>());
    if (away) {
        state.mode = AppState::Mode::away;
    }

    EngineParts parts;
    parts.webcam = std::make_unique<TestPatternCamera>();
    parts.recorder = std::make_shared<NoRecorder>();
    parts.loop = std::make_unique<NoLoopSource>();
    parts.detector = std::make_unique<NoDetector>();
    parts.bridge = std::make_unique<LocalOnlyBridge>();
    auto engine =
        CameraEngine::create(state, std::move(parts), main, systemHostClock(), systemWallClock());
    engine->start();

    if (seconds > 0) {
        QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    }
    return QCoreApplication::exec();
}
