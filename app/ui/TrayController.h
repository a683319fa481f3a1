#pragma once

#include <QObject>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/state/AppState.h"
#include "app/ui/MenubarPopoverView.h"
#include "app/ui/RecordButtonState.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Handle.h"

class QAction;
class QLayout;
class QMenu;
class QSystemTrayIcon;

namespace kestrel::ui {

// The window that holds the popover's content: a frameless popup near the pointer on X11; on
// Wayland, where no client places itself, a frameless tool window. Either hides when it loses
// focus or on Escape, and says when.
class PopoverWindow final : public QWidget {
  public:
    PopoverWindow(bool popup, std::function<void()> onHidden);
    QLayout* column() const { return column_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    std::function<void()> onHidden_;
    QLayout* column_ = nullptr;
};

// The status icon, its menu, the popover, and the window that stands in for both where the
// desktop has no tray. Main thread.
class TrayController final : public QObject {
  public:
    // A click this soon after the popover hid itself is the click that hid it.
    static constexpr std::uint64_t kReopenGuardNanos = 300'000'000;

    TrayController(AppState& state, RecordButtonState& record, PopoverActions actions,
                   const HostClock& clock, QObject* parent = nullptr);
    ~TrayController() override;

    // Shows the status icon, or, without a tray, the popover's content in a window titled
    // "Kestrel".
    void start(bool trayAvailable);

    // The icon's left click: shows the popover near `anchor`, or hides it when shown.
    void togglePopover(QPoint anchor);
    // Brings the application forward (a second start): the window, or the popover.
    void present();
    void setHotKeyBadge(const QString& text);

    // Adds an item to the menu's session section, above "Settings…" (e.g. "Start at login").
    void addSessionAction(QAction* action);

    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* menu() const { return menu_.get(); }
    QWidget* popover() const { return popoverWindow_.get(); }
    QWidget* fallbackWindow() const { return fallback_.get(); }
    MenubarPopoverView* view() const { return view_; }

  private:
    void buildMenu();
    void refreshMenu();
    MenubarPopoverView* makeView(QWidget* parent, QLayout* layout);

    AppState& state_;
    RecordButtonState& record_;
    PopoverActions actions_;
    const HostClock& clock_;
    QString hotKeyBadge_ = QStringLiteral("Super+Shift+A");

    QSystemTrayIcon* tray_ = nullptr;
    std::unique_ptr<QMenu> menu_;
    QAction* statusAction_ = nullptr;
    QAction* forceAwayAction_ = nullptr;
    QAction* autoLoopAction_ = nullptr;
    QMenu* loopsMenu_ = nullptr;
    QAction* noLoopsAction_ = nullptr;
    QAction* recordAction_ = nullptr;
    QAction* sessionSection_ = nullptr;
    QString iconName_;

    // Top-level windows, without a parent.
    std::unique_ptr<PopoverWindow> popoverWindow_;
    std::unique_ptr<QWidget> fallback_;
    MenubarPopoverView* view_ = nullptr;
    std::optional<std::uint64_t> hiddenAt_;
    std::vector<Handle> observers_;
};

}  // namespace kestrel::ui
