#pragma once

#include <QWidget>

#include <functional>
#include <vector>

#include "app/state/AppState.h"
#include "app/ui/PopoverModel.h"
#include "app/ui/RecordButtonState.h"
#include "platform/runtime/Handle.h"

class QLabel;
class QMenu;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace kestrel::ui {

class RecordButton;
class SegmentedControl;
class StatusDot;
class Switch;

// What the popover's footer and other controls run outside the state.
struct PopoverActions {
    // Opens or brings forward the settings window; the button is disabled without one.
    std::function<void()> openSettings;
    std::function<void()> quit;
};

// The popover's content: status, force away, auto loop, the active loop, recording, settings and
// quit, bound to the state object. Built once and reused. Main thread.
class MenubarPopoverView final : public QWidget {
  public:
    MenubarPopoverView(AppState& state, RecordButtonState& record, PopoverActions actions,
                       QWidget* parent = nullptr);
    ~MenubarPopoverView() override;

    // The force-away hot key as the desktop reports it.
    void setHotKeyBadge(const QString& text);
    // A widget shown under the status (the live preview); the view takes ownership.
    void setPreview(QWidget* preview);

    const PopoverModel& model() const { return model_; }

    // Children, for tests and screenshots.
    SegmentedControl* modeControl() const { return modeControl_; }
    Switch* autoLoopSwitch() const { return autoLoop_; }
    QToolButton* loopPicker() const { return loopPicker_; }
    QMenu* loopMenu() const { return loopMenu_; }
    RecordButton* recordButton() const { return recordButton_; }
    StatusDot* statusDot() const { return dot_; }
    QLabel* badgeLabel() const { return badge_; }

  private:
    void refresh();

    AppState& state_;
    RecordButtonState& record_;
    PopoverActions actions_;
    QString hotKeyBadge_ = QStringLiteral("Super+Shift+A");
    PopoverModel model_;

    QVBoxLayout* column_ = nullptr;
    QLabel* badge_ = nullptr;
    StatusDot* dot_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    SegmentedControl* modeControl_ = nullptr;
    Switch* autoLoop_ = nullptr;
    QLabel* noLoops_ = nullptr;
    QToolButton* loopPicker_ = nullptr;
    QMenu* loopMenu_ = nullptr;
    QStringList shownLoopTitles_;
    QLabel* recordHint_ = nullptr;
    RecordButton* recordButton_ = nullptr;
    QWidget* preview_ = nullptr;
    std::vector<Handle> observers_;
};

}  // namespace kestrel::ui
