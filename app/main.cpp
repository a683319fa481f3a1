// kestrel: the application. Without a command it runs the camera engine over the chosen camera,
// with the tray icon and its popover where a display is reachable (--headless: no widgets, on a
// QCoreApplication); with a command it asks the running instance over the session bus and exits.

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QMenu>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/engine/CameraEngine.h"
#include "app/hotkey/X11HotKeyBackend.h"
#include "app/link/CameraLinkPort.h"
#include "app/link/ExtensionBridge.h"
#include "app/link/LinuxExtensionService.h"
#include "app/link/LoopbackSetup.h"
#include "app/link/SystemCaptureDevices.h"
#include "app/presence/AwayDetector.h"
#include "app/presence/BlazeFaceDetector.h"
#include "app/presence/LinuxPermissionBackend.h"
#include "app/qt/AutostartEntry.h"
#include "app/qt/ControlClient.h"
#include "app/qt/DBusControl.h"
#include "app/qt/DBusNames.h"
#include "app/qt/DBusToggleSignal.h"
#include "app/qt/LogindWakeSource.h"
#include "app/qt/PortalHotKeyBackend.h"
#include "app/qt/QtExecutor.h"
#include "app/qt/QtSettingsStore.h"
#include "app/sources/CameraChoice.h"
#include "app/sources/LoopPlayer.h"
#include "app/startup/AppDelegate.h"
#include "app/ui/Icons.h"
#include "app/ui/LivePreview.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PreviewTap.h"
#include "app/ui/RecordButtonState.h"
#include "app/ui/SettingsWindow.h"
#include "app/ui/Theme.h"
#include "app/ui/TrayController.h"
#include "app/ui/UpdateDialog.h"
#include "app/ui/WindowPresenter.h"
#ifdef KESTREL_UPDATE_CHECKER
#include "app/update/KestrelUpdater.h"
#endif
#include "platform/link/LinkClient.h"
#include "platform/runtime/UniqueFd.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: kestrel [--headless] [--camera auto|pattern|/dev/videoN|file:PATH] [--seconds N]\n"
        "       kestrel --status | --record-start | --record-stop | --force-away on|off\n"
        "       kestrel --toggle-away | --setup-loopback | --start-at-login on|off\n"
        "       kestrel --check-updates\n"
        "  Runs the camera engine over the chosen camera and feeds the virtual camera "
        "\"Kestrel\".\n"
        "  --headless      run without a user interface (also where no display is reachable)\n"
        "  --camera C      auto (default): the best V4L2 camera; pattern: a generated test\n"
        "                  pattern; /dev/videoN: that camera; file:PATH: a video file\n"
        "  --seconds N     quit after N seconds (default: run until interrupted)\n"
        "  Commands to the running instance (exit 1 when none runs):\n"
        "  --status        print its status as JSON\n"
        "  --record-start  start recording a loop (at most 60 s)\n"
        "  --record-stop   stop recording and print the saved loop's path\n"
        "  --force-away X  switch force away on or off\n"
        "  --toggle-away   send the toggleForceAway signal on the session bus\n"
        "  --setup-loopback  load v4l2loopback as the camera \"Kestrel\" (through pkexec) for\n"
        "                  applications that only read /dev/video*\n"
        "  --start-at-login X  start kestrel at login (on) or not (off, the default)\n"
        "  --check-updates print whether a newer version exists, as JSON (checks by itself\n"
        "                  when no instance runs)\n");
}

struct Options {
    bool headless = false;
    int seconds = 0;
    std::string camera = "auto";
    std::optional<kestrel::ControlCommand> command;
    bool setupLoopback = false;
    std::optional<bool> startAtLogin;
};

// Nothing on a malformed command line (after printing why).
std::optional<Options> parse(int argc, char** argv, int& exitStatus) {
    using Kind = kestrel::ControlCommand::Kind;
    Options options;
    exitStatus = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--headless") {
            options.headless = true;
            continue;
        }
        if (arg == "--seconds" && hasValue) {
            options.seconds = std::atoi(argv[++i]);
        } else if (arg == "--camera" && hasValue) {
            options.camera = argv[++i];
        } else if (arg == "--status") {
            options.command = kestrel::ControlCommand{Kind::status};
        } else if (arg == "--record-start") {
            options.command = kestrel::ControlCommand{Kind::recordStart};
        } else if (arg == "--record-stop") {
            options.command = kestrel::ControlCommand{Kind::recordStop};
        } else if (arg == "--start-at-login" && hasValue &&
                   (std::string(argv[i + 1]) == "on" || std::string(argv[i + 1]) == "off")) {
            options.startAtLogin = std::string(argv[++i]) == "on";
        } else if (arg == "--setup-loopback") {
            options.setupLoopback = true;
        } else if (arg == "--toggle-away") {
            options.command = kestrel::ControlCommand{Kind::toggleAway};
        } else if (arg == "--check-updates") {
            options.command = kestrel::ControlCommand{Kind::checkUpdates};
        } else if (arg == "--force-away" && hasValue &&
                   (std::string(argv[i + 1]) == "on" || std::string(argv[i + 1]) == "off")) {
            options.command =
                kestrel::ControlCommand{Kind::forceAway, std::string(argv[++i]) == "on"};
        } else {
            const bool help = arg == "--help" || arg == "-h";
            if (!help) {
                std::fprintf(stderr, "kestrel: unexpected argument \"%s\"\n", arg.c_str());
            }
            usage(help ? stdout : stderr);
            exitStatus = help ? 0 : 2;
            return std::nullopt;
        }
    }
    return options;
}

// Windows need a display; without one (or with --headless or a command) kestrel runs on a
// QCoreApplication and builds no widgets.
bool wantsWindows(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--headless" || arg == "--status" || arg == "--record-start" ||
            arg == "--record-stop" || arg == "--toggle-away" || arg == "--force-away" ||
            arg == "--check-updates" || arg == "--setup-loopback" || arg == "--start-at-login" ||
            arg == "--help" || arg == "-h") {
            return false;
        }
    }
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

int main(int argc, char** argv) {
    const bool windowed = wantsWindows(argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (windowed) {
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("kestrel"));
    QCoreApplication::setOrganizationName(QStringLiteral("corvid"));

    int exitStatus = 0;
    const auto options = parse(argc, argv, exitStatus);
    if (!options) {
        return exitStatus;
    }
    using namespace kestrel;
    if (options->setupLoopback) {
        LoopbackSetup::Options setupOptions;
        setupOptions.say = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
        const auto result = LoopbackSetup(setupOptions).run();
        std::fprintf(result.exitStatus == 0 ? stdout : stderr, "%s\n", result.message.c_str());
        return result.exitStatus;
    }
    if (options->startAtLogin) {
        if (const auto error =
                AutostartEntry::forThisProcess().setEnabled(*options->startAtLogin)) {
            std::fprintf(stderr, "kestrel: %s\n", error->description.c_str());
            return 1;
        }
        return 0;
    }
    if (options->command && options->command->kind == ControlCommand::Kind::checkUpdates) {
#ifdef KESTREL_UPDATE_CHECKER
        return runCheckUpdatesCommand(QDBusConnection::sessionBus());
#else
        std::fprintf(stderr,
                     "kestrel: this build does not check for updates: new versions come with the "
                     "distribution's packages\n");
        return 1;
#endif
    }
    if (options->command) {
        return runControlCommand(QDBusConnection::sessionBus(), *options->command);
    }
    const auto camera = parseCameraChoice(options->camera);
    if (!camera) {
        std::fprintf(stderr, "kestrel: unknown camera \"%s\"\n", options->camera.c_str());
        usage(stderr);
        return 2;
    }

    const Log log{std::string(kAppLogSubsystem), "App"};
    // One instance per session: the name is taken before anything is built.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && !bus.registerService(dbus::kServiceName)) {
        if (windowed && ui::WindowPresenter::presentRunning(bus)) {
            std::fprintf(stderr, "kestrel is already running; its window is brought forward\n");
            return 0;
        }
        if (bus.interface()->isServiceRegistered(dbus::kServiceName).value()) {
            std::fprintf(stderr, "kestrel is already running\n");
        } else {
            std::fprintf(stderr, "kestrel: cannot take the name %s on the session bus: %s\n",
                         qPrintable(dbus::kServiceName), qPrintable(bus.lastError().message()));
        }
        return 1;
    }
    if (!bus.isConnected()) {
        log.info("no session bus: the control object and the toggle signal are unavailable");
    }
    QtExecutor main;
    // SIGINT and SIGTERM end the event loop: the handler only writes to an eventfd (all a signal
    // handler may safely do), and the main thread quits when it becomes readable.
    static UniqueFd quitRequest(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    Handle quitWatch;
    if (quitRequest) {
        struct sigaction action {};
        action.sa_handler = [](int) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(quitRequest.get(), &one, sizeof one);
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        quitWatch = main.watchFd(quitRequest.get(), static_cast<unsigned>(FdEvent::readable),
                                 [](unsigned) { QCoreApplication::quit(); });
    }
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
    // The camera daemon's link on a thread of its own, declared before the delegate so that it
    // outlives the bridge.
    LinkClientThread cameraLink;
    // Installs and starts the camera daemon that ships beside this program; the capture devices
    // tell the health probe whether meeting applications can see the camera.
    auto linuxExtensionService =
        LinuxExtensionService::create(main, LinuxExtensionService::Options::forThisProcess());
    std::shared_ptr<ExtensionService> extensionService = linuxExtensionService;
    auto captureDevices = std::make_shared<SystemCaptureDevices>(
        main, SystemCaptureDevices::Options::forThisProcess());

    std::weak_ptr<LoopRecorder> uiRecorder;
    ui::PreviewTap* previewTap = nullptr;  // owned by the engine, which outlives the windows
    auto buildEngine = [&](AppState& state, LoopLibrary& library,
                           std::shared_ptr<ExtensionService> service) {
        EngineBuild build;
        build.parts.webcam = std::move(std::get<std::unique_ptr<WebcamSource>>(webcam));
        build.recorder = LoopRecorder::create(library, main);
        uiRecorder = build.recorder;
        build.parts.recorder = build.recorder;
        build.parts.loop = std::make_unique<LoopPlayer>(1920, 1080, main);
        std::shared_ptr<FaceDetector> faces;
        auto faceDetector = BlazeFaceDetector::create(BlazeFaceDetector::defaultModelFolder());
        if (auto* error = std::get_if<Error>(&faceDetector)) {
            // Without faces auto-away would switch the user to away blindly: it is off instead.
            log.error("face model cannot be loaded (%{public}@): auto-away is unavailable",
                      error->description);
        } else {
            faces = std::move(std::get<0>(faceDetector));
        }
        build.parts.detector =
            std::make_unique<AwayDetector>(state, faces, main, systemBootClock());
        build.parts.bridge = std::make_unique<ExtensionBridge>(
            state, cameraLink.port(), main, cameraLink.executor(), systemHostClock(),
            std::move(service), captureDevices);
        if (windowed) {
            // The popover's preview watches the output on its way to the camera daemon.
            auto tap = std::make_unique<ui::PreviewTap>(std::move(build.parts.bridge));
            previewTap = tap.get();
            build.parts.bridge = std::move(tap);
        }
        return build;
    };
    std::unique_ptr<ToggleSignalSource> toggleSignal;
    if (bus.isConnected()) {
        toggleSignal = std::make_unique<DBusToggleSignal>(bus);
    }
    // The desktop portal's global shortcuts where it offers them (Wayland), the X11 grab otherwise.
    auto hotKeys =
        std::make_shared<PortalHotKeyBackend>(bus, std::make_shared<X11HotKeyBackend>(main));
    auto settings = std::make_shared<QtSettingsStore>();
    auto delegate = AppDelegate::create(
        {main, systemHostClock(), systemWallClock(), settings, permissionBackend,
         LoopLibrary::defaultFolder(), buildEngine, hotKeys, std::move(toggleSignal),
         std::make_unique<LogindWakeSource>(QDBusConnection::systemBus()), extensionService});
    // The first-run wizard where a display is reachable; the engine waits for it.
    std::unique_ptr<ui::OnboardingWindow> onboarding;
    if (windowed) {
        delegate->setOnboardingPresenter([&onboarding, weak = std::weak_ptr(delegate)] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (!onboarding) {
                onboarding = std::make_unique<ui::OnboardingWindow>(
                    self->state(), self->permissions(), [weak] {
                        if (auto alive = weak.lock(); alive && alive->engine()) {
                            alive->engine()->bridge().activate();
                        }
                    });
            }
            onboarding->show();
            onboarding->raise();
            onboarding->activateWindow();
        });
    }
    delegate->applicationDidFinishLaunching();
    DBusControl control(delegate);
    if (bus.isConnected() && !control.registerOn(bus)) {
        log.error("cannot export the control object: %{public}@",
                  bus.lastError().message().toStdString());
    }
#ifdef KESTREL_UPDATE_CHECKER
    // Asked for over the bus either way; by itself only where someone sees the result.
    auto updater = makeKestrelUpdater(main, settings);
    control.setUpdateService(updater);
    if (!options->headless) {
        updater->startAutomaticChecks();
    }
#endif

    // The face: the tray icon and its popover, or a window where the desktop has no tray.
    std::unique_ptr<ui::RecordButtonState> recordButton;
    // The settings window, built on first use and then brought forward; outlives the tray.
    std::unique_ptr<ui::SettingsWindow> settingsWindow;
    std::unique_ptr<ui::TrayController> tray;
    std::unique_ptr<ui::WindowPresenter> presenter;
    std::shared_ptr<ui::UpdateDialogPresenter> updateDialog;
    Handle updateActionBinding;
    if (windowed) {
        auto* widgets = static_cast<QApplication*>(app.get());
        ui::applyTheme(*widgets);
        QApplication::setWindowIcon(ui::applicationIcon());
        QGuiApplication::setDesktopFileName(QStringLiteral("dev.corvid.kestrel"));
        QApplication::setQuitOnLastWindowClosed(false);
        recordButton = std::make_unique<ui::RecordButtonState>(
            std::make_shared<ui::DelegateLoopRecording>(uiRecorder, delegate), main,
            systemHostClock());
        ui::PopoverActions actions;
        actions.quit = [] { QCoreApplication::quit(); };
        actions.openSettings = [&] {
            if (!settingsWindow) {
                ui::SettingsActions settingsActions;
                if (!hotKeys->trigger().empty()) {
                    settingsActions.hotKey = QString::fromStdString(hotKeys->trigger());
                }
                settingsActions.resetVirtualCamera = [] {
                    if (resetVirtualCameraHook) {
                        resetVirtualCameraHook();
                    }
                };
                settingsActions.startAtLogin = [] {
                    return AutostartEntry::forThisProcess().isEnabled();
                };
                settingsActions.setStartAtLogin = [&log](bool on) {
                    const auto error = AutostartEntry::forThisProcess().setEnabled(on);
                    if (error) {
                        log.error("start at login: %{public}@", error->description);
                    }
                    return !error;
                };
                settingsActions.loopbackDevice =
                    "/dev/video" + std::to_string(LoopbackSetup::kDeviceNumber);
                settingsActions.loopbackCommand = LoopbackSetup::command();
                if (!QStandardPaths::findExecutable(QStringLiteral("pkexec")).isEmpty()) {
                    settingsActions.runPrivileged = [permissionBackend](const auto& command) {
                        return permissionBackend->launch(command);
                    };
                }
                settingsActions.cameraServiceStatus =
                    [service = std::weak_ptr(linuxExtensionService),
                     devices = std::weak_ptr(captureDevices)](auto done) {
                        auto alive = service.lock();
                        if (!alive) {
                            return;
                        }
                        alive->checkAnswers([devices, done](bool answers) {
                            if (auto lister = devices.lock()) {
                                lister->visibility([done, answers](CameraVisibility seen) {
                                    done(CameraServiceStatus{answers, seen});
                                });
                            }
                        });
                    };
                settingsActions.endStaleCopies =
                    [service = std::weak_ptr(linuxExtensionService)](auto done) {
                        if (auto alive = service.lock()) {
                            alive->endLingeringCopies([done](int told) {
                                if (probeExtensionHealthHook) {
                                    probeExtensionHealthHook();
                                }
                                done(told);
                            });
                        }
                    };
#ifdef KESTREL_UPDATE_CHECKER
                settingsActions.canCheckForUpdates = &updater->canCheckForUpdates;
                settingsActions.checkForUpdates = [weak = std::weak_ptr(updater)] {
                    if (auto checker = weak.lock()) {
                        checker->checkForUpdates();
                    }
                };
#endif
                settingsWindow = std::make_unique<ui::SettingsWindow>(
                    delegate->state(), delegate->library(), settings, main,
                    std::move(settingsActions));
            }
            settingsWindow->present();
        };
        tray = std::make_unique<ui::TrayController>(delegate->state(), *recordButton,
                                                    std::move(actions), systemHostClock());
        tray->start(QSystemTrayIcon::isSystemTrayAvailable());
        if (previewTap != nullptr && tray->view() != nullptr) {
            tray->view()->setPreview(new ui::LivePreview(*previewTap, main, 300));
        }
        // "Start at login": the desktop's autostart entry, read again whenever the menu opens.
        auto* startAtLogin = new QAction(QStringLiteral("Start at login"), tray.get());
        startAtLogin->setCheckable(true);
        startAtLogin->setChecked(AutostartEntry::forThisProcess().isEnabled());
        QObject::connect(
            startAtLogin, &QAction::triggered, startAtLogin, [startAtLogin, &log](bool on) {
                if (const auto error = AutostartEntry::forThisProcess().setEnabled(on)) {
                    log.error("start at login: %{public}@", error->description);
                    startAtLogin->setChecked(!on);
                }
            });
        if (tray->menu() != nullptr) {
            QObject::connect(tray->menu(), &QMenu::aboutToShow, startAtLogin, [startAtLogin] {
                startAtLogin->setChecked(AutostartEntry::forThisProcess().isEnabled());
            });
        }
        tray->addSessionAction(startAtLogin);
        // The force-away badge names the shortcut the desktop portal bound, where one did.
        const auto showTrigger = [&tray](const std::string& trigger) {
            if (tray) {
                tray->setHotKeyBadge(trigger.empty() ? QStringLiteral("Super+Shift+A")
                                                     : QString::fromStdString(trigger));
            }
        };
        showTrigger(hotKeys->trigger());
        hotKeys->onTriggerChanged = showTrigger;
#ifdef KESTREL_UPDATE_CHECKER
        // Results as a dialog and, for a new version, a tray message; the menu can ask too.
        updateDialog = std::make_shared<ui::UpdateDialogPresenter>(ui::UpdateDialogPresenter::Hooks{
            [&tray](const QString& title, const QString& text) {
                if (auto* icon = tray->trayIcon(); icon != nullptr && icon->isVisible()) {
                    icon->showMessage(title, text);
                }
            },
            [](const QUrl& url) { QDesktopServices::openUrl(url); }});
        updater->setPresenter(updateDialog);
        auto* checkAction = new QAction(QStringLiteral("Check for Updates…"), tray.get());
        QObject::connect(checkAction, &QAction::triggered, checkAction,
                         [weak = std::weak_ptr(updater)] {
                             if (auto checker = weak.lock()) {
                                 checker->checkForUpdates();
                             }
                         });
        tray->addSessionAction(checkAction);
        updateActionBinding = updater->canCheckForUpdates.subscribe(
            [checkAction](bool can) { checkAction->setEnabled(can); });
#endif
        presenter = std::make_unique<ui::WindowPresenter>([&tray] { tray->present(); });
        if (bus.isConnected() && !presenter->registerOn(bus)) {
            log.error("cannot export the window object: %{public}@",
                      bus.lastError().message().toStdString());
        }
    }

    if (options->seconds > 0) {
        QTimer::singleShot(options->seconds * 1000, app.get(), &QCoreApplication::quit);
    }
    return QCoreApplication::exec();
}
