#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QToolButton>

#include <cstdlib>
#include <memory>

#include <QPainter>

#include "app/engine/StandIns.h"
#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "app/ui/Icons.h"
#include "app/ui/LivePreview.h"
#include "app/ui/MenubarPopoverView.h"
#include "app/ui/PreviewTap.h"
#include "app/ui/Theme.h"
#include "app/ui/TrayController.h"
#include "app/ui/Widgets.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/ui/Offscreen.h"
#include "tests/support/FakeLoopRecording.h"

namespace kestrel::ui {
namespace {

// Counts writes of one field after subscribing.
template <class T>
struct Writes {
    explicit Writes(Published<T>& field) : handle(field.subscribe([this](const T&) { ++count; })) {
        count = 0;
    }
    int count = 0;
    Handle handle;
};

class PopoverViewTest : public ::testing::Test {
  protected:
    PopoverViewTest() { application(); }

    void show() {
        view = std::make_unique<MenubarPopoverView>(state, record, PopoverActions{});
        view->setHotKeyBadge(QStringLiteral("Super+Shift+A"));
        view->show();
    }
    void clickSegment(int index) {
        QTest::mouseClick(view->modeControl(), Qt::LeftButton, {},
                          view->modeControl()->segmentRect(index).center());
    }
    QColor dotColour() {
        const QImage image = view->grab().toImage();
        const QPoint centre = view->statusDot()->geometry().center();
        return image.pixelColor(centre * image.devicePixelRatio());
    }
    void saveScreenshot(const char* name) {
        if (const char* folder = std::getenv("KESTREL_SCREENSHOT_DIR")) {
            QApplication::processEvents();  // the layout a shown popover would have by now
            view->grab().save(QStringLiteral("%1/popover-%2.png").arg(folder, name));
        }
    }

    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    ManualExecutor main;
    std::shared_ptr<testing::FakeLoopRecording> recorder =
        std::make_shared<testing::FakeLoopRecording>();
    RecordButtonState record{recorder, main, main.hostClock()};
    std::unique_ptr<MenubarPopoverView> view;
};

TEST_F(PopoverViewTest, SegmentsSwitchAndLoopChoiceWriteTheStateAndFollowIt) {
    show();
    Writes<bool> writes(state.manualOverride);
    clickSegment(0);
    EXPECT_EQ(writes.count, 0);
    clickSegment(1);
    EXPECT_TRUE(state.manualOverride.get());
    EXPECT_TRUE(view->badgeLabel()->isVisible());
    clickSegment(1);
    EXPECT_EQ(writes.count, 1);
    clickSegment(0);
    EXPECT_FALSE(state.manualOverride.get());
    EXPECT_FALSE(view->badgeLabel()->isVisible());

    // The hot key toggles the field while the popover is open.
    state.manualOverride = true;
    EXPECT_EQ(view->modeControl()->selected(), 1);
    EXPECT_TRUE(view->badgeLabel()->isVisible());

    // The switch writes auto-away and follows it.
    QTest::mouseClick(view->autoLoopSwitch(), Qt::LeftButton);
    EXPECT_TRUE(state.autoAwayEnabled.get());
    state.autoAwayEnabled = false;
    EXPECT_FALSE(view->autoLoopSwitch()->isChecked());

    // Choosing a loop sets it; choosing the active one again changes nothing.
    EXPECT_FALSE(view->loopPicker()->isVisible());
    state.loops = {"/l/first.mov", "/l/second-with-a-rather-long-name-that-does-not-fit.mov"};
    EXPECT_TRUE(view->loopPicker()->isVisible());
    EXPECT_TRUE(view->loopPicker()->text().startsWith(QStringLiteral("—")));
    Writes<std::optional<std::filesystem::path>> loopWrites(state.activeLoop);
    ASSERT_EQ(view->loopMenu()->actions().size(), 2);
    view->loopMenu()->actions()[1]->trigger();
    EXPECT_EQ(state.activeLoop.get(),
              std::filesystem::path("/l/second-with-a-rather-long-name-that-does-not-fit.mov"));
    view->loopMenu()->actions()[1]->trigger();
    EXPECT_EQ(loopWrites.count, 1);
    EXPECT_TRUE(view->loopPicker()->text().contains(QStringLiteral("…"))) << "elided in the middle";
}

TEST_F(PopoverViewTest, StatusDotIsGreenWhileLiveAndRedWhileAwayAndTheRecordButtonStartsAndStops) {
    show();
    saveScreenshot("no-loops");
    state.loops = {"/l/standup-2026-12-07.mov"};
    state.activeLoop = std::filesystem::path("/l/standup-2026-12-07.mov");
    EXPECT_EQ(dotColour().rgb(), color(Tone::liveGreen).rgb());
    saveScreenshot("live");
    state.mode = AppState::Mode::away;
    EXPECT_EQ(dotColour().rgb(), color(Tone::awayRed).rgb());
    saveScreenshot("away");
    state.manualOverride = true;
    saveScreenshot("force-away");

    QTest::mouseClick(view->recordButton(), Qt::LeftButton);
    EXPECT_TRUE(recorder->running);
    main.advance(std::chrono::seconds(3));
    EXPECT_EQ(view->model().recordProgress, QStringLiteral("3 / 60 s"));
    saveScreenshot("recording");
    QTest::mouseClick(view->recordButton(), Qt::LeftButton);
    EXPECT_EQ(recorder->stops, 1);
    EXPECT_EQ(view->recordButton()->text(), view->model().recordLabel);
}

TEST_F(PopoverViewTest, TrayMenuCarriesTheControlsAndFollowsTheState) {
    TrayController tray(state, record, PopoverActions{}, main.hostClock());
    tray.start(true);
    ASSERT_NE(tray.menu(), nullptr);
    auto action = [&](const QString& text) -> QAction* {
        for (QAction* candidate : tray.menu()->actions()) {
            if (candidate->text() == text && candidate->isVisible()) {
                return candidate;
            }
        }
        return nullptr;
    };
    ASSERT_NE(action(QStringLiteral("Live.")), nullptr);
    EXPECT_FALSE(action(QStringLiteral("Live."))->isEnabled());
    EXPECT_NE(action(QStringLiteral("No loops yet. Record one below.")), nullptr);

    action(QStringLiteral("Force away"))->trigger();
    EXPECT_TRUE(state.manualOverride.get());
    action(QStringLiteral("Auto loop"))->trigger();
    EXPECT_TRUE(state.autoAwayEnabled.get());
    state.mode = AppState::Mode::away;
    EXPECT_NE(action(QStringLiteral("Away.")), nullptr);

    state.loops = {"/l/a.mov", "/l/b.mov"};
    QAction* loops = action(QStringLiteral("Active loop"));
    ASSERT_NE(loops, nullptr);
    loops->menu()->actions()[1]->trigger();
    EXPECT_EQ(state.activeLoop.get(), std::filesystem::path("/l/b.mov"));
    EXPECT_TRUE(loops->menu()->actions()[1]->isChecked());
    EXPECT_FALSE(loops->menu()->actions()[0]->isChecked());

    action(QStringLiteral("Start · 60s loop"))->trigger();
    EXPECT_TRUE(recorder->running);
    EXPECT_NE(action(QStringLiteral("Stop · saving…  0 / 60 s")), nullptr);
}

TEST_F(PopoverViewTest, WithoutATrayTheContentOpensAsAWindowThatComesBack) {
    TrayController tray(state, record, PopoverActions{}, main.hostClock());
    tray.start(false);
    ASSERT_NE(tray.fallbackWindow(), nullptr);
    EXPECT_EQ(tray.trayIcon(), nullptr);
    EXPECT_TRUE(tray.fallbackWindow()->isVisible());
    EXPECT_EQ(tray.fallbackWindow()->windowTitle(), QStringLiteral("Kestrel"));
    tray.fallbackWindow()->close();
    EXPECT_FALSE(tray.fallbackWindow()->isVisible());
    tray.present();
    EXPECT_TRUE(tray.fallbackWindow()->isVisible());
}

TEST(LivePreview, KeepsFramesOnlyWhileShownAndShowsTheOutput) {
    application();
    auto bridge = std::make_unique<LocalOnlyBridge>();
    auto& counting = dynamic_cast<CountingSink&>(bridge->sink());
    PreviewTap tap(std::move(bridge));
    auto frame = PixelBuffer::create(64, 36);
    frame->fill(0x10, 0x80, 0xF0);  // blue, green, red

    ManualExecutor main;
    LivePreview preview(tap, main, 32);
    tap.sink().enqueue(frame);
    EXPECT_EQ(tap.takeLatest(), nullptr) << "hidden: nothing kept";
    preview.show();
    tap.sink().enqueue(frame);
    main.advance(LivePreview::kInterval);
    EXPECT_EQ(preview.image().pixelColor(5, 5).rgb(), QColor(0xF0, 0x80, 0x10).rgb());
    tap.sink().enqueue(frame);
    preview.hide();
    EXPECT_EQ(frame.use_count(), 1) << "a hidden preview holds no frame";
    EXPECT_EQ(counting.frameCount(), 3U) << "every frame still reaches the camera";
}

TEST(Icons, BundledFallbacksRenderOnDarkAndLightPanels) {
    application();
    QImage sheet(4 * 32, 2 * 32, QImage::Format_RGB32);
    QPainter painter(&sheet);
    painter.fillRect(0, 0, sheet.width(), 32, QColor(0x2e, 0x34, 0x36));
    painter.fillRect(0, 32, sheet.width(), 32, QColor(0xf6, 0xf5, 0xf4));
    const char* names[] = {"dev.corvid.kestrel", "dev.corvid.kestrel-symbolic",
                           "dev.corvid.kestrel-live", "dev.corvid.kestrel-away"};
    for (int i = 0; i < 4; ++i) {
        const QImage icon = statusIcon(QString::fromLatin1(names[i])).pixmap(24).toImage();
        ASSERT_FALSE(icon.isNull()) << names[i];
        int opaque = 0;
        for (int y = 0; y < icon.height(); ++y) {
            for (int x = 0; x < icon.width(); ++x) {
                opaque += qAlpha(icon.pixel(x, y)) > 200 ? 1 : 0;
            }
        }
        EXPECT_GT(opaque, 40) << names[i] << " draws something";
        painter.drawImage(i * 32 + 4, 4, icon);
        painter.drawImage(i * 32 + 4, 36, icon);
    }
    painter.end();
    if (const char* folder = std::getenv("KESTREL_SCREENSHOT_DIR")) {
        sheet.scaled(sheet.size() * 4).save(QStringLiteral("%1/icons.png").arg(folder));
    }
}

}  // namespace
}  // namespace kestrel::ui
