#include "app/ui/TrayController.h"

#include <QAction>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <utility>

#include "app/ui/Icons.h"
#include "app/ui/PopoverPlacement.h"

namespace kestrel::ui {

PopoverWindow::PopoverWindow(bool popup, std::function<void()> onHidden)
    : QWidget(nullptr,
              popup ? Qt::Popup | Qt::FramelessWindowHint : Qt::Tool | Qt::FramelessWindowHint),
      onHidden_(std::move(onHidden)) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSizeConstraint(QLayout::SetFixedSize);
}

void PopoverWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool PopoverWindow::event(QEvent* event) {
    if (event->type() == QEvent::WindowDeactivate && isVisible()) {
        hide();
    }
    return QWidget::event(event);
}

void PopoverWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (onHidden_) {
        onHidden_();
    }
}

TrayController::TrayController(AppState& state, RecordButtonState& record, PopoverActions actions,
                               const HostClock& clock, QObject* parent)
    : QObject(parent),
      state_(state),
      record_(record),
      actions_(std::move(actions)),
      clock_(clock) {}

TrayController::~TrayController() {
    observers_.clear();
}

MenubarPopoverView* TrayController::makeView(QWidget* parent, QLayout* layout) {
    view_ = new MenubarPopoverView(state_, record_, actions_, parent);
    view_->setHotKeyBadge(hotKeyBadge_);
    layout->addWidget(view_);
    return view_;
}

void TrayController::start(bool trayAvailable) {
    if (!trayAvailable) {
        fallback_ = std::make_unique<QWidget>();
        fallback_->setWindowTitle(QStringLiteral("Kestrel"));
        fallback_->setWindowIcon(applicationIcon());
        auto* layout = new QVBoxLayout(fallback_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        makeView(fallback_.get(), layout);
        fallback_->show();
        return;
    }
    // Wayland places no client window itself, and a parentless popup cannot grab there.
    const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
    popoverWindow_ =
        std::make_unique<PopoverWindow>(!wayland, [this] { hiddenAt_ = clock_.nowNanos(); });
    makeView(popoverWindow_.get(), popoverWindow_->column());

    buildMenu();
    tray_ = new QSystemTrayIcon(this);
    tray_->setToolTip(QStringLiteral("Kestrel"));
    tray_->setContextMenu(menu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    togglePopover(QCursor::pos());
                }
            });
    refreshMenu();
    tray_->show();
}

void TrayController::togglePopover(QPoint anchor) {
    if (!popoverWindow_) {
        return;
    }
    if (popoverWindow_->isVisible()) {
        popoverWindow_->hide();
        return;
    }
    if (hiddenAt_ && clock_.nowNanos() - *hiddenAt_ < kReopenGuardNanos) {
        return;
    }
    std::vector<ScreenArea> screens;
    for (QScreen* screen : QGuiApplication::screens()) {
        screens.push_back({screen->geometry(), screen->availableGeometry()});
    }
    popoverWindow_->adjustSize();
    popoverWindow_->move(popoverPosition(anchor, popoverWindow_->size(), screens));
    popoverWindow_->show();
    popoverWindow_->raise();
    popoverWindow_->activateWindow();
}

void TrayController::present() {
    QWidget* window = fallback_ ? fallback_.get() : popoverWindow_.get();
    if (window == nullptr) {
        return;
    }
    if (window == popoverWindow_.get() && !window->isVisible()) {
        hiddenAt_.reset();
        togglePopover(QCursor::pos());
        return;
    }
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void TrayController::setHotKeyBadge(const QString& text) {
    hotKeyBadge_ = text;
    if (view_ != nullptr) {
        view_->setHotKeyBadge(text);
    }
}

void TrayController::addSessionAction(QAction* action) {
    if (menu_) {
        menu_->insertAction(sessionSection_, action);
    }
}

void TrayController::buildMenu() {
    // GNOME's AppIndicator opens this menu on a single click and never shows the popover, so it
    // carries every control of the popover.
    menu_ = std::make_unique<QMenu>();
    statusAction_ = menu_->addAction(QString());
    statusAction_->setEnabled(false);
    menu_->addSeparator();
    forceAwayAction_ = menu_->addAction(QStringLiteral("Force away"));
    forceAwayAction_->setCheckable(true);
    connect(forceAwayAction_, &QAction::triggered, this,
            [this](bool on) { state_.manualOverride = on; });
    autoLoopAction_ = menu_->addAction(QStringLiteral("Auto loop"));
    autoLoopAction_->setCheckable(true);
    connect(autoLoopAction_, &QAction::triggered, this,
            [this](bool on) { state_.autoAwayEnabled = on; });
    loopsMenu_ = menu_->addMenu(QStringLiteral("Active loop"));
    noLoopsAction_ = menu_->addAction(QStringLiteral("No loops yet. Record one below."));
    noLoopsAction_->setEnabled(false);
    recordAction_ = menu_->addAction(QString());
    connect(recordAction_, &QAction::triggered, this, [this] { record_.press(); });
    menu_->addSeparator();
    // The session section: items about how the application runs (e.g. "Start at login") are
    // inserted above this separator by addSessionAction().
    sessionSection_ = menu_->addSeparator();
    auto* settings = menu_->addAction(QStringLiteral("Settings…"));
    settings->setEnabled(static_cast<bool>(actions_.openSettings));
    connect(settings, &QAction::triggered, this, [this] {
        if (actions_.openSettings) {
            actions_.openSettings();
        }
    });
    auto* quit = menu_->addAction(QStringLiteral("Quit"));
    connect(quit, &QAction::triggered, this, [this] {
        if (actions_.quit) {
            actions_.quit();
        }
    });

    observers_ = observeInputs(state_, record_, [this] { refreshMenu(); });
}

void TrayController::refreshMenu() {
    if (!menu_) {
        return;
    }
    const PopoverInputs in = inputsFrom(state_, record_);
    const PopoverModel m = makePopoverModel(in);
    statusAction_->setText(m.menuStatus);
    forceAwayAction_->setChecked(m.forceAwaySelected);
    autoLoopAction_->setChecked(m.autoLoopOn);
    loopsMenu_->menuAction()->setVisible(m.hasLoops);
    noLoopsAction_->setVisible(!m.hasLoops);
    const auto& loops = state_.loops.get();
    const auto shown = loopsMenu_->actions();
    bool same = shown.size() == m.loopTitles.size();
    for (int i = 0; same && i < shown.size(); ++i) {
        same = shown[i]->text() == m.loopTitles[i];
    }
    if (!same) {
        loopsMenu_->clear();
        for (std::size_t i = 0; i < loops.size(); ++i) {
            auto* action = loopsMenu_->addAction(m.loopTitles[static_cast<int>(i)]);
            action->setCheckable(true);
            connect(action, &QAction::triggered, this, [this, path = loops[i]] {
                if (state_.activeLoop.get() != path) {
                    state_.activeLoop = path;
                }
            });
        }
    }
    const auto items = loopsMenu_->actions();
    for (int i = 0; i < items.size(); ++i) {
        items[i]->setChecked(i == m.activeLoopIndex);
    }
    recordAction_->setText(m.menuRecord);
    if (tray_ != nullptr && m.iconName != iconName_) {
        iconName_ = m.iconName;
        tray_->setIcon(statusIcon(m.iconName));
    }
}

}  // namespace kestrel::ui
