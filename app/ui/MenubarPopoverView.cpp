#include "app/ui/MenubarPopoverView.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

#include "app/ui/Widgets.h"

namespace kestrel::ui {

namespace {

constexpr int kWidth = 340;
constexpr int kMargin = 20;
constexpr int kSpacing = 18;
constexpr int kLoopLabelWidth = kWidth - 2 * kMargin - 24;

QPushButton* footerButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setFlat(true);
    button->setFont(roleFont(TypeRole::footer));
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 2px 0; color: %1; }"
                                         "QPushButton:disabled { color: %2; }")
                              .arg(css(Tone::ink), css(Tone::muted)));
    return button;
}

// Two widgets side by side, the second pushed to the right.
QHBoxLayout* row(QWidget* left, QWidget* right) {
    auto* layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(left);
    layout->addStretch(1);
    if (right != nullptr) {
        layout->addWidget(right);
    }
    return layout;
}

}  // namespace

MenubarPopoverView::MenubarPopoverView(AppState& state, RecordButtonState& record,
                                       PopoverActions actions, QWidget* parent)
    : QWidget(parent), state_(state), record_(record), actions_(std::move(actions)) {
    setFixedWidth(kWidth);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, color(Tone::paper));
    setPalette(palette);

    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column_->setSpacing(kSpacing);

    // 1. Header.
    badge_ = makeLabel(QString(), TypeRole::badge, Tone::ink, this);
    badge_->setFixedHeight(18);
    badge_->setStyleSheet(QStringLiteral("QLabel { background: %1; border: 1px solid %2; "
                                         "border-radius: 9px; padding: 0 8px; }")
                              .arg(css(Tone::ink, 0.08), css(Tone::ink, 0.2)));
    column_->addLayout(
        row(makeLabel(QStringLiteral("KESTREL · v0.1.0"), TypeRole::headerCaption, Tone::ink, this),
            badge_));

    // 2. Status.
    auto* status = new QGridLayout;
    status->setContentsMargins(0, 0, 0, 0);
    status->setHorizontalSpacing(10);
    status->setVerticalSpacing(0);
    dot_ = new StatusDot(9, this);
    title_ = makeLabel(QString(), TypeRole::title, Tone::ink, this);
    subtitle_ = makeLabel(QString(), TypeRole::italicLine, Tone::muted, this);
    status->addWidget(dot_, 0, 0, Qt::AlignVCenter);
    status->addWidget(title_, 0, 1);
    status->addWidget(subtitle_, 1, 1);
    status->setColumnStretch(2, 1);
    column_->addLayout(status);

    // 3. Mode.
    modeControl_ =
        new SegmentedControl({QStringLiteral("Auto"), QStringLiteral("Force away")}, this);
    modeControl_->onChosen = [this](int index) { state_.manualOverride = index == 1; };
    column_->addWidget(modeControl_);

    // 4. Automatic detection.
    autoLoop_ = new Switch(this);
    connect(autoLoop_, &QAbstractButton::clicked, this,
            [this](bool on) { state_.autoAwayEnabled = on; });
    column_->addLayout(row(makeCaption(QStringLiteral("Auto loop"), this), autoLoop_));

    // 5. Active loop.
    auto* loops = new QVBoxLayout;
    loops->setSpacing(6);
    loops->addWidget(makeCaption(QStringLiteral("Active loop"), this));
    noLoops_ = makeLabel(QString(), TypeRole::italicLine, Tone::muted, this);
    loops->addWidget(noLoops_);
    loopPicker_ = new QToolButton(this);
    loopPicker_->setPopupMode(QToolButton::InstantPopup);
    loopPicker_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    loopPicker_->setFont(roleFont(TypeRole::body));
    loopPicker_->setCursor(Qt::PointingHandCursor);
    loopPicker_->setStyleSheet(
        QStringLiteral("QToolButton { border: none; background: %1; border-radius: 4px; "
                       "padding: 4px 8px; color: %2; text-align: left; }"
                       "QToolButton::menu-indicator { image: none; width: 0; }")
            .arg(css(Tone::paperShade), css(Tone::ink)));
    loopMenu_ = new QMenu(loopPicker_);
    loopPicker_->setMenu(loopMenu_);
    loops->addWidget(loopPicker_, 0, Qt::AlignLeft);
    column_->addLayout(loops);

    // 6.
    column_->addWidget(makeDivider(this));

    // 7. Record.
    auto* recordColumn = new QVBoxLayout;
    recordColumn->setSpacing(6);
    recordColumn->addWidget(makeCaption(QStringLiteral("Record loop"), this));
    recordHint_ = makeLabel(QString(), TypeRole::hint, Tone::muted, this);
    recordColumn->addWidget(recordHint_);
    recordButton_ = new RecordButton(this);
    connect(recordButton_, &QAbstractButton::clicked, this, [this] { record_.press(); });
    recordColumn->addWidget(recordButton_, 0, Qt::AlignLeft);
    column_->addLayout(recordColumn);

    // 8.
    column_->addWidget(makeDivider(this));

    // 9. Footer.
    auto* settings = footerButton(QStringLiteral("Settings"), this);
    settings->setEnabled(static_cast<bool>(actions_.openSettings));
    connect(settings, &QPushButton::clicked, this, [this] {
        if (actions_.openSettings) {
            actions_.openSettings();
        }
    });
    auto* quit = footerButton(QStringLiteral("Quit"), this);
    connect(quit, &QPushButton::clicked, this, [this] {
        if (actions_.quit) {
            actions_.quit();
        }
    });
    column_->addLayout(row(settings, quit));

    observers_ = observeInputs(state_, record_, [this] { refresh(); });
}

MenubarPopoverView::~MenubarPopoverView() = default;

void MenubarPopoverView::setHotKeyBadge(const QString& text) {
    hotKeyBadge_ = text;
    refresh();
}

void MenubarPopoverView::setPreview(QWidget* preview) {
    preview->setParent(this);
    preview_ = preview;
    // Under the status block: header, status, preview.
    column_->insertWidget(2, preview);
}

void MenubarPopoverView::refresh() {
    PopoverInputs in = inputsFrom(state_, record_);
    in.hotKeyBadge = hotKeyBadge_;
    model_ = makePopoverModel(in);

    badge_->setText(model_.badge);
    badge_->setVisible(model_.badgeVisible);
    dot_->setTone(model_.dot);
    title_->setText(model_.title);
    subtitle_->setText(model_.subtitle);
    modeControl_->setSelected(model_.forceAwaySelected ? 1 : 0);
    autoLoop_->setChecked(model_.autoLoopOn);

    noLoops_->setText(model_.noLoopsText);
    noLoops_->setVisible(!model_.hasLoops);
    loopPicker_->setVisible(model_.hasLoops);
    const QString label =
        loopPicker_->fontMetrics().elidedText(model_.loopLabel, Qt::ElideMiddle, kLoopLabelWidth);
    loopPicker_->setText(label + QStringLiteral("  ⌄"));
    if (shownLoopTitles_ != model_.loopTitles) {
        shownLoopTitles_ = model_.loopTitles;
        loopMenu_->clear();
        const auto loops = state_.loops.get();
        for (std::size_t i = 0; i < loops.size(); ++i) {
            loopMenu_->addAction(model_.loopTitles[static_cast<int>(i)], this,
                                 [this, path = loops[i]] {
                                     if (state_.activeLoop.get() != path) {
                                         state_.activeLoop = path;
                                     }
                                 });
        }
    }

    recordHint_->setText(model_.recordHint);
    recordButton_->setLook(model_.recordFill, model_.recordDot, model_.recordLabel,
                           model_.recordProgress);
}

}  // namespace kestrel::ui
