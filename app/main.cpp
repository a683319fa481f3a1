// kestrel: the camera engine over the chosen camera, headless, logging its status lines.

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/engine/CameraEngine.h"
#include "app/engine/StandIns.h"
#include "app/hotkey/HotKeysController.h"
#include "app/hotkey/X11HotKeyBackend.h"
#include "app/link/ExtensionBridge.h"
#include "app/presence/AwayDetector.h"
#include "app/presence/LinuxPermissionBackend.h"
#include "app/presence/OpenCvFaceDetector.h"
#include "app/presence/Permissions.h"
#include "app/qt/QtExecutor.h"
#include "app/qt/QtSettingsStore.h"
#include "app/sources/CameraChoice.h"
#include "app/sources/LoopLibrary.h"
#include "app/sources/LoopPlayer.h"
#include "app/sources/LoopRecorder.h"
#include "app/state/AppState.h"
#include "platform/link/LinkClient.h"

namespace {

void usage() {
    std::printf(
        "usage: kestrel [--camera auto|pattern|/dev/videoN|file:PATH] [--seconds N] [--away]\n"
        "  Runs the camera engine over the chosen camera and logs its status.\n"
        "  --camera C   auto (default): the best V4L2 camera; pattern: a generated test\n"
        "               pattern; /dev/videoN: that camera; file:PATH: a video file\n"
        "  --seconds N  quit after N seconds (default: run until interrupted)\n"
        "  --away       start with force away on\n");
}

// Stands in when the face model cannot be loaded: no face is ever seen, so only force away and
// the auto-away switch decide.
class NoFaceDetector final : public kestrel::FaceDetector {
  public:
    bool containsFace(const kestrel::PixelBuffer& /*frame*/) override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrel"));
    QCoreApplication::setOrganizationName(QStringLiteral("corvid"));

    int seconds = 0;
    bool away = false;
    std::string cameraText = "auto";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--camera" && i + 1 < argc) {
            cameraText = argv[++i];
        } else if (arg == "--away") {
            away = true;
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }

    using namespace kestrel;
    const auto camera = parseCameraChoice(cameraText);
    if (!camera) {
        std::fprintf(stderr, "kestrel: unknown camera \"%s\"\n", cameraText.c_str());
        usage();
        return 2;
    }
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });

    QtExecutor main;
    auto webcam = makeWebcam(*camera, main, systemHostClock(), systemWallClock());
    if (auto* error = std::get_if<Error>(&webcam)) {
        std::fprintf(stderr, "kestrel: %s\n", error->description.c_str());
        return 2;
    }
    // Generated cameras need no device, so no device access to ask for.
    std::shared_ptr<PermissionBackend> permissionBackend =
        std::make_shared<LinuxPermissionBackend>(main);
    if (camera->kind == CameraChoice::Kind::pattern || camera->kind == CameraChoice::Kind::file) {
        permissionBackend = std::make_shared<AlwaysGrantedCameraBackend>(permissionBackend);
    }
    auto permissions = std::make_shared<Permissions>(permissionBackend, main);
    AppState state(permissions, std::make_shared<QtSettingsStore>());
    if (away) {
        // The away detector re-decides the mode every tick; force away keeps it away.
        state.manualOverride = true;
        state.mode = AppState::Mode::away;
    }

    EngineParts parts;
    parts.webcam = std::move(std::get<std::unique_ptr<WebcamSource>>(webcam));
    LoopLibrary library(LoopLibrary::defaultFolder(), systemWallClock());
    auto recorder = LoopRecorder::create(library, main);
    recorder->maxSeconds = 60.0;
    parts.recorder = recorder;
    parts.loop = std::make_unique<LoopPlayer>(1920, 1080, main);
    std::shared_ptr<FaceDetector> faces;
    auto faceDetector = OpenCvFaceDetector::create(OpenCvFaceDetector::defaultCascadePath());
    if (auto* error = std::get_if<Error>(&faceDetector)) {
        std::fprintf(stderr, "kestrel: %s; auto-away sees no faces\n", error->description.c_str());
        faces = std::make_shared<NoFaceDetector>();
    } else {
        faces = std::move(std::get<std::unique_ptr<OpenCvFaceDetector>>(faceDetector));
    }
    parts.detector = std::make_unique<AwayDetector>(state, faces, main, systemHostClock());
    // The camera daemon's link, declared before the engine so that it outlives the bridge.
    link::LinkClient cameraLink(main);
    LinkClientPort cameraLinkPort(cameraLink);
    parts.bridge =
        std::make_unique<ExtensionBridge>(state, cameraLinkPort, main, systemHostClock(), nullptr);
    auto engine =
        CameraEngine::create(state, std::move(parts), main, systemHostClock(), systemWallClock());
    // A recording that stops at its length joins the library like one the user stopped.
    recorder->setAutomaticStopCompletion([weak = std::weak_ptr<CameraEngine>(engine)](
                                             const std::optional<std::filesystem::path>& url) {
        if (auto alive = weak.lock()) {
            alive->adoptRecordedLoop(url);
        }
    });
    library.refreshLoops(state);
    engine->start();

    // Cmd+Shift+A (Super+Shift+A) toggles force away.
    auto hotKeys = std::make_shared<HotKeysController>(std::make_shared<X11HotKeyBackend>(main));
    auto toggleHotKey = HotKey::create(hotKeys, Key::a, modifier::kCommand | modifier::kShift);
    toggleHotKey->keyDownHandler = [&state] { state.manualOverride = !state.manualOverride.get(); };

    if (seconds > 0) {
        QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    }
    return QCoreApplication::exec();
}
