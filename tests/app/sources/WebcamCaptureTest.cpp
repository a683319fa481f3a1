#include "app/sources/WebcamCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/runtime/ManualExecutor.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// A session that does what the test scripts and records what it was asked.
class FakeBackend final : public CaptureBackend {
  public:
    explicit FakeBackend(Executor& capture) : capture_(capture) {}

    std::vector<CaptureDevice> devices() override { return deviceList; }
    std::optional<CaptureDevice> defaultDevice() override { return std::nullopt; }
    void setDelegate(std::weak_ptr<CaptureDelegate> delegate) override {
        ++delegateSets;
        delegate_ = std::move(delegate);
    }
    std::optional<CaptureConfigureError> configure(const CaptureDevice& device,
                                                   const CaptureSettings& settings) override {
        configured.push_back(device.id);
        lastSettings = settings;
        return configureFailure;
    }
    void unconfigure() override { ++unconfigures; }
    void startRunning(std::function<void(bool)> done) override {
        ++startRunnings;
        capture_.post([this, done = std::move(done)] { done(running = true); });
    }
    void stopRunning() override { running = false; }
    bool isRunning() const override { return running; }

    std::shared_ptr<CaptureDelegate> delegate() const { return delegate_.lock(); }
    // Frames numbered on from the last one delivered, as the capture queue would.
    void deliver(int frames) {
        for (int i = 0; i < frames; ++i) {
            if (auto d = delegate()) {
                d->captureOutput(PixelBuffer::create(2, 2), MediaTime{nextFrame_++, 15});
            }
        }
    }

    std::vector<CaptureDevice> deviceList;
    std::optional<CaptureConfigureError> configureFailure;
    bool running = false;
    int delegateSets = 0, unconfigures = 0, startRunnings = 0;
    std::vector<std::string> configured;
    CaptureSettings lastSettings;

  private:
    Executor& capture_;
    std::weak_ptr<CaptureDelegate> delegate_;
    std::int64_t nextFrame_ = 0;
};

CaptureDevice builtIn(std::string name) {
    return {"/dev/" + name, std::move(name), CaptureDeviceKind::builtIn};
}
CaptureDevice external(std::string name) {
    return {"/dev/" + name, std::move(name), CaptureDeviceKind::external};
}
CaptureDevice other(std::string name) {
    return {"/dev/" + name, std::move(name), CaptureDeviceKind::other};
}

TEST(WebcamDeviceChoice, BuiltInFirstThenTheFirstUsableThenTheDefaultDevice) {
    const struct {
        std::optional<std::string> chosen;
        std::vector<CaptureDevice> devices;
        std::optional<CaptureDevice> fallback{};
    } cases[] = {
        {"Integrated Camera", {external("Kestrel Virtual Camera"), builtIn("Integrated Camera")}},
        {"Integrated", {external("Logitech C920"), other("Phone"), builtIn("Integrated")}},
        {"Logitech C920", {external("Snap Camera"), external("Logitech C920"), other("Phone")}},
        {"Phone", {other("Phone"), external("Logitech C920")}},
        // Names are excluded case-sensitively, and only those of external devices.
        {"obs virtual camera", {external("OBS Virtual Camera 2"), external("obs virtual camera")}},
        {"OBS", {external("My mmhmm cam"), builtIn("OBS")}},
        {"Kestrel test pattern",
         {external("ManyCam Virtual Webcam"), other("Kestrel test pattern")}},
        // Every device excluded: the default device, whatever its name; without one, none.
        {"OBS Virtual Camera",
         {external("OBS Virtual Camera"), external("XSplit VCam")},
         external("OBS Virtual Camera")},
        {"Camo", {}, external("Camo")},
        {std::nullopt, {external("Camo")}},
    };
    for (const auto& c : cases) {
        auto chosen = WebcamCapture::chooseDevice(c.devices, [&] { return c.fallback; });
        EXPECT_EQ(chosen ? std::optional(chosen->name) : std::nullopt, c.chosen)
            << c.devices.size() << " devices, first "
            << (c.devices.empty() ? "" : c.devices[0].name);
    }
}

class WebcamCaptureTest : public ::testing::Test {
  protected:
    std::vector<std::string> webcamLines() const { return logs->messages("Webcam"); }
    // Frames that each reach the main thread before the next one is captured.
    void deliverEach(int frames) {
        for (int i = 0; i < frames; ++i) {
            backend->deliver(1);
            main.runUntilIdle();
        }
    }
    // The main thread's hops, the device work they queue, and what that posts back.
    void runDeviceWork() {
        main.runUntilIdle();
        capture.runUntilIdle();
        main.runUntilIdle();
    }

    // A capture started on the built-in camera.
    WebcamCapture& started() {
        backend->deviceList = {builtIn("Integrated Camera")};
        webcam_ = std::make_unique<WebcamCapture>(backend, main, capture);
        EXPECT_FALSE(webcam_->start());
        capture.runUntilIdle();
        return *webcam_;
    }

    testing::LogCapture logs;
    ManualExecutor main;
    ManualExecutor capture;
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>(capture);
    std::unique_ptr<WebcamCapture> webcam_;
};

TEST_F(WebcamCaptureTest, StartChoosesConfiguresAndStartsOffTheCallingThread) {
    backend->deviceList = {external("Kestrel Virtual Camera"), builtIn("Integrated Camera")};
    WebcamCapture webcam(backend, main, capture);
    EXPECT_FALSE(webcam.start());
    EXPECT_TRUE(webcam.notificationsInstalled());
    EXPECT_EQ(backend->delegateSets + backend->configured.size(), 0U)
        << "the device is listed and opened off the main thread";

    capture.runUntilIdle();
    EXPECT_EQ(backend->configured, std::vector<std::string>{"/dev/Integrated Camera"});
    const CaptureSettings& asked = backend->lastSettings;
    EXPECT_EQ(std::tuple(asked.width, asked.height, asked.framesPerSecond),
              std::tuple(1280, 720, 15));
    EXPECT_EQ(webcamLines(),
              (std::vector<std::string>{"using device: Integrated Camera (type=builtIn)",
                                        "session.startRunning returned, running=y"}));

    // Starting a running session does nothing.
    logs->clear();
    EXPECT_FALSE(webcam.start());
    capture.runUntilIdle();
    EXPECT_TRUE(webcamLines().empty());
    EXPECT_EQ(backend->configured.size(), 1U);
    EXPECT_EQ(backend->startRunnings, 1);
    EXPECT_EQ(backend->delegateSets, 1);
}

TEST_F(WebcamCaptureTest, StartFailuresComeBackToTheMainThreadAndAreLogged) {
    WebcamCapture webcam(backend, main, capture);
    ASSERT_FALSE(webcam.start());
    capture.runUntilIdle();
    EXPECT_EQ(logs->count("no usable camera found"), 1U);
    EXPECT_EQ(logs->count("start failed"), 0U);  // not before the main thread gets to it
    main.runUntilIdle();
    EXPECT_EQ(logs->count("start failed: No camera"), 1U);
    EXPECT_TRUE(backend->configured.empty());

    backend->deviceList = {external("Logitech C920")};
    const std::vector<std::pair<CaptureConfigureError, std::string>> failures = {
        {{CaptureConfigureError::Kind::inputRefused, {}}, "start failed: Cannot add input"},
        {{CaptureConfigureError::Kind::outputRefused, {}}, "start failed: Cannot add output"},
        {{CaptureConfigureError::Kind::platform, Error{"V4L2", 13, "Permission denied"}},
         "start failed: Permission denied"}};
    for (const auto& [failure, line] : failures) {
        backend->configureFailure = failure;
        ASSERT_FALSE(webcam.start());
        runDeviceWork();
        EXPECT_EQ(logs->count(line), 1U) << line;
    }
    EXPECT_EQ(backend->startRunnings, 0);  // no failed start starts the session
    EXPECT_EQ(backend->delegateSets, 1);   // observers are installed once, on the first start
}

// Frames are counted also while no handler is set.
TEST_F(WebcamCaptureTest, FrameCountLogsFirstThenEverySixtiethAndSurvivesRestart) {
    auto& webcam = started();
    deliverEach(3);
    std::vector<MediaTime> seen;
    webcam.setOnFrame([&](const PixelBufferRef&, MediaTime time) { seen.push_back(time); });
    deliverEach(56);
    // A sample without an image is ignored entirely.
    backend->delegate()->captureOutput(nullptr, MediaTime{99, 15});
    EXPECT_EQ(webcam.frameCount(), 59);
    deliverEach(1);
    EXPECT_EQ(seen.size(), 57U);
    EXPECT_EQ(seen[2], (MediaTime{5, 15}));

    webcam.restart();
    capture.runUntilIdle();
    main.advance(150ms);
    capture.runUntilIdle();
    backend->deliver(60);
    EXPECT_EQ(webcam.frameCount(), 120);

    auto counts = webcamLines();
    std::erase_if(counts,
                  [](const std::string& line) { return !line.starts_with("captureOutput"); });
    EXPECT_EQ(counts, (std::vector<std::string>{"captureOutput frame count=1",
                                                "captureOutput frame count=60",
                                                "captureOutput frame count=120"}));
}

TEST_F(WebcamCaptureTest, RestartTearsDownAndStartsAgainAfter150Milliseconds) {
    auto& webcam = started();
    ASSERT_TRUE(backend->running);

    // A camera plugged in meanwhile is taken into account by the new choice.
    backend->deviceList = {external("Logitech C920"), builtIn("Integrated Camera 2")};
    webcam.restart();
    capture.runUntilIdle();
    EXPECT_EQ(backend->unconfigures, 1);
    EXPECT_FALSE(backend->running);

    main.advance(149ms);
    capture.runUntilIdle();
    EXPECT_EQ(backend->configured.size(), 1U);
    main.advance(1ms);
    capture.runUntilIdle();
    ASSERT_EQ(backend->configured.size(), 2U);
    EXPECT_EQ(backend->configured[1], "/dev/Integrated Camera 2");
    capture.runUntilIdle();
    EXPECT_TRUE(backend->running);
    EXPECT_EQ(backend->delegateSets, 1);
    EXPECT_EQ(logs->count("restart() requested"), 1U);

    // A delayed start that fails is only logged: nothing is retried.
    backend->deviceList.clear();
    webcam.restart();
    main.advance(1s);
    runDeviceWork();
    EXPECT_EQ(logs->count("restart() start failed: No camera"), 1U);
    EXPECT_EQ(backend->configured.size(), 2U);
}

TEST_F(WebcamCaptureTest, RuntimeErrorsRestartAndInterruptionEndsResumeOnTheMainThread) {
    started();
    backend->delegate()->sessionRuntimeError(Error{"V4L2", 19, "No such device"});
    EXPECT_EQ(
        logs->count("AVCaptureSession runtime error: Error Domain=V4L2 Code=19 \"No such device\""),
        1U);
    EXPECT_EQ(backend->unconfigures, 0);  // not before the main thread gets to it
    runDeviceWork();
    EXPECT_EQ(backend->unconfigures, 1);
    main.advance(150ms);
    capture.runUntilIdle();
    EXPECT_EQ(backend->configured.size(), 2U);
    backend->delegate()->sessionRuntimeError(std::nullopt);
    EXPECT_EQ(logs->count("AVCaptureSession runtime error: nil"), 1U);
    runDeviceWork();
    main.advance(150ms);
    capture.runUntilIdle();
    ASSERT_EQ(backend->startRunnings, 3);

    backend->delegate()->sessionInterrupted("{reason: device busy}");
    backend->delegate()->sessionInterrupted("");
    EXPECT_EQ(logs->count("AVCaptureSession interrupted: {reason: device busy}"), 1U);
    EXPECT_EQ(logs->count("AVCaptureSession interrupted: {}"), 1U);
    // Still running: nothing to resume.
    backend->delegate()->sessionInterruptionEnded();
    runDeviceWork();
    EXPECT_EQ(backend->startRunnings, 3);
    backend->running = false;
    backend->delegate()->sessionInterruptionEnded();
    main.runUntilIdle();
    capture.runUntilIdle();
    EXPECT_EQ(backend->startRunnings, 4);
    EXPECT_TRUE(backend->running);
    EXPECT_EQ(backend->configured.size(), 3U);  // the configuration is not touched
    EXPECT_EQ(logs->count("AVCaptureSession interruption ended — resuming"), 2U);
}

TEST_F(WebcamCaptureTest, NothingRunsOnceTheCaptureIsReleased) {
    started();
    auto delegate = backend->delegate();  // as if a callback were in flight
    // A runtime error while the object is being released causes no restart.
    delegate->sessionRuntimeError(Error{"V4L2", 19, "No such device"});
    delegate->sessionInterruptionEnded();
    webcam_.reset();
    capture.runUntilIdle();  // the teardown
    const int unconfiguresAtRelease = backend->unconfigures;
    main.advance(1s);
    capture.runUntilIdle();
    EXPECT_EQ(logs->count("restart() requested"), 0U);
    EXPECT_EQ(backend->unconfigures, unconfiguresAtRelease);
    EXPECT_EQ(backend->startRunnings, 1);
    EXPECT_EQ(backend->configured.size(), 1U);
    EXPECT_FALSE(backend->running);  // released means stopped

    // The same for a start still queued for the device and a restart whose delayed start is
    // pending.
    webcam_ = std::make_unique<WebcamCapture>(backend, main, capture);
    ASSERT_FALSE(webcam_->start());
    webcam_->restart();
    webcam_.reset();
    main.advance(1s);
    capture.runUntilIdle();
    EXPECT_EQ(backend->configured.size(), 1U);
}

TEST_F(WebcamCaptureTest, AtMostOneFrameWaitsForTheMainThreadAndTheNewestWins) {
    auto& webcam = started();
    std::vector<std::int64_t> handled;
    // As the engine does: each frame is forwarded to the main thread and handled there. While
    // the first is handled, three more are captured.
    webcam.setOnFrame([&](const PixelBufferRef&, MediaTime time) {
        main.post([&, time] {
            handled.push_back(time.value);
            if (handled.size() == 1) {
                backend->deliver(3);
            }
        });
    });
    backend->deliver(5);  // before the main thread gets to any of them
    main.runUntilIdle();
    EXPECT_EQ(handled, (std::vector<std::int64_t>{4, 7}));
    EXPECT_EQ(webcam.lateFrameDrops(), 6U);
    EXPECT_EQ(webcam.frameCount(), 8);
}

}  // namespace
}  // namespace kestrel
