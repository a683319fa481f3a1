#include "app/ui/SettingsWindow.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <array>
#include <chrono>
#include <utility>

#include "app/ui/OnboardingWindow.h"
#include "app/ui/Widgets.h"

namespace kestrel::ui {
namespace {

// A line edit that hands its Escape key to `onEscape`; a plain one ignores it.
class EscapableLineEdit final : public QLineEdit {
  public:
    using QLineEdit::QLineEdit;
    std::function<void()> onEscape;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && onEscape) {
            event->accept();
            onEscape();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
};

using namespace std::chrono_literals;

QLabel* paragraph(const QString& text, QWidget* parent) {
    auto* label = makeLabel(text, TypeRole::hint, Tone::inkSoft, parent);
    label->setWordWrap(true);
    return label;
}

QLabel* badge(QWidget* parent) {
    auto* label = makeLabel(QString(), TypeRole::badge, Tone::muted, parent);
    return label;
}

void setBadge(QLabel* label, const QString& text, Tone tone) {
    label->setText(text);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color(tone));
    label->setPalette(palette);
}

QToolButton* glyphButton(const QString& glyph, const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(glyph);
    button->setToolTip(help);
    button->setAccessibleName(help);
    button->setAutoRaise(true);
    return button;
}

// A label on the left, a control on the right.
void addRow(QGridLayout* grid, const QString& label, QWidget* control, QWidget* parent) {
    const int row = grid->rowCount();
    grid->addWidget(makeLabel(label, TypeRole::body, Tone::ink, parent), row, 0);
    grid->addWidget(control, row, 1, Qt::AlignLeft | Qt::AlignVCenter);
}

void addWide(QGridLayout* grid, QWidget* widget) {
    grid->addWidget(widget, grid->rowCount(), 0, 1, 2);
}

QStringList labelsOf(std::span<const double> values, int decimals) {
    QStringList labels;
    for (const double value : values) {
        labels << QString::number(value, 'f', decimals) + QLatin1Char('s');
    }
    return labels;
}

// Every spinner frame of the reset icon: a 0.8 s cycle.
constexpr std::array kPulseGlyphs{u"◐", u"◓", u"◑", u"◒"};
constexpr auto kPulseFrame = 200ms;

}  // namespace

SettingsLoopRow::SettingsLoopRow(const std::filesystem::path& loop, bool active, QWidget* parent)
    : QWidget(parent), displayed_(loopDisplayName(loop)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 4, 0, 4);
    select_ = new QToolButton(this);
    select_->setAutoRaise(true);
    select_->setToolTip(QStringLiteral("Use this loop"));
    select_->setFixedSize(18, 18);
    auto* dot = new QLabel(select_);
    dot->setFixedSize(7, 7);
    dot->move(5, 5);
    dot->setAttribute(Qt::WA_TransparentForMouseEvents);
    dot->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;")
                           .arg(active ? css(Tone::liveGreen) : css(Tone::ink, 0.18)));
    connect(select_, &QToolButton::clicked, this, [this] {
        if (onSelect) {
            onSelect();
        }
    });
    row->addWidget(select_);

    name_ = makeLabel(displayed_, TypeRole::body, Tone::ink, this);
    auto* field = new EscapableLineEdit(this);
    field_ = field;
    field_->hide();
    connect(field_, &QLineEdit::returnPressed, this, [this] { commit(); });
    // Escape leaves editing and keeps the name.
    field->onEscape = [this] { setEditing(false); };
    row->addWidget(name_, 1);
    row->addWidget(field_, 1);
    if (active) {
        auto* activeBadge = badge(this);
        setBadge(activeBadge, QStringLiteral("ACTIVE"), Tone::liveGreen);
        row->addWidget(activeBadge);
    }
    rename_ = glyphButton(QStringLiteral("✎"), QStringLiteral("Rename"), this);
    connect(rename_, &QToolButton::clicked, this, [this] {
        if (editing_) {
            commit();
        } else {
            field_->setText(displayed_);
            setEditing(true);
        }
    });
    row->addWidget(rename_);
    delete_ = glyphButton(QStringLiteral("✕"), QStringLiteral("Delete"), this);
    connect(delete_, &QToolButton::clicked, this, [this] {
        if (onDelete) {
            onDelete();
        }
    });
    row->addWidget(delete_);
}

void SettingsLoopRow::setEditing(bool editing) {
    editing_ = editing;
    name_->setVisible(!editing);
    field_->setVisible(editing);
    rename_->setText(editing ? QStringLiteral("✓") : QStringLiteral("✎"));
    const QString help = editing ? QStringLiteral("Save") : QStringLiteral("Rename");
    rename_->setToolTip(help);
    rename_->setAccessibleName(help);
    if (editing) {
        field_->setFocus();
        field_->selectAll();
    }
}

void SettingsLoopRow::commit() {
    const auto target = renameTarget(field_->text(), displayed_);
    setEditing(false);
    if (target && onRename) {
        onRename(*target);  // may rebuild the list and delete this row: nothing after it
    }
}

SettingsWindow::SettingsWindow(AppState& state, const LoopLibrary& library,
                               std::shared_ptr<SettingsStore> settings, Executor& main,
                               SettingsActions actions, QWidget* parent)
    : QWidget(parent),
      state_(state),
      library_(library),
      settings_(std::move(settings)),
      main_(main),
      actions_(std::move(actions)) {
    setWindowTitle(QStringLiteral("Kestrel Settings"));
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildSidebar());

    auto* detail = new QWidget(this);
    auto* column = new QVBoxLayout(detail);
    column->setContentsMargins(28, 24, 28, 24);
    group_ = makeCaption(QString(), detail);
    title_ = makeLabel(QString(), TypeRole::title, Tone::ink, detail);
    title_->setFont(resized(roleFont(TypeRole::title), 26));
    subtitle_ = makeLabel(QString(), TypeRole::italicLine, Tone::inkSoft, detail);
    column->addWidget(group_);
    column->addWidget(title_);
    column->addWidget(subtitle_);
    column->addSpacing(12);
    panes_ = new QStackedWidget(detail);
    panes_->addWidget(buildGeneral());
    panes_->addWidget(buildLoops());
    panes_->addWidget(buildPermissions());
    column->addWidget(panes_, 1);
    layout->addWidget(detail, 1);
    showSection(SettingsSection::general);

    // Re-read whatever a pane shows when a field it reads changes.
    auto general = [this](const auto&) { refreshGeneral(); };
    observers_.push_back(state_.mode.subscribe(general));
    observers_.push_back(state_.manualOverride.subscribe(general));
    observers_.push_back(state_.autoAwayEnabled.subscribe(general));
    observers_.push_back(state_.autoAwaySeconds.subscribe(general));
    observers_.push_back(state_.realisticTransitions.subscribe(general));
    observers_.push_back(state_.transitionFreezeSeconds.subscribe(general));
    observers_.push_back(state_.transitionBlurRadius.subscribe(general));
    auto loops = [this](const auto&) { rebuildLoops(); };
    observers_.push_back(state_.loops.subscribe(loops));
    observers_.push_back(state_.activeLoop.subscribe(loops));
    auto permissions = [this](const auto&) { refreshPermissions(); };
    observers_.push_back(state_.hasStaleSysext.subscribe(permissions));
    observers_.push_back(state_.extensionInstalled.subscribe(permissions));
    observers_.push_back(state_.lastResetAt.subscribe(permissions));
    if (const auto& access = state_.permissions()) {
        observers_.push_back(access->camera.subscribe(permissions));
    }
    if (actions_.canCheckForUpdates && updateButton_ != nullptr) {
        observers_.push_back(actions_.canCheckForUpdates->subscribe(
            [this](bool can) { updateButton_->setEnabled(can); }));
    }
    resize(760, 600);
}

SettingsWindow::~SettingsWindow() {
    *alive_ = false;
}

void SettingsWindow::present() {
    if (!isVisible()) {
        show();
    }
    if (section_ == SettingsSection::permissions) {
        queryServiceStatus();
    }
    raise();
    activateWindow();
}

QWidget* SettingsWindow::buildSidebar() {
    auto* sidebar = new QWidget(this);
    sidebar->setAutoFillBackground(true);
    QPalette palette = sidebar->palette();
    palette.setColor(QPalette::Window, color(Tone::paperShade));
    sidebar->setPalette(palette);
    sidebar->setFixedWidth(190);
    auto* column = new QVBoxLayout(sidebar);
    column->setContentsMargins(20, 24, 16, 20);
    column->addWidget(
        makeLabel(QStringLiteral("KESTREL"), TypeRole::headerCaption, Tone::muted, sidebar));
    auto* title = makeLabel(QStringLiteral("Settings"), TypeRole::title, Tone::ink, sidebar);
    title->setFont(resized(roleFont(TypeRole::title), 22));
    column->addWidget(title);
    column->addSpacing(14);
    for (const SettingsSection section : kSettingsSections) {
        auto* button = new QPushButton(sectionText(section).label, sidebar);
        button->setCheckable(true);
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 6px 10px; "
                                             "border: none; border-radius: 6px; }"
                                             "QPushButton:checked { background: %1; }")
                                  .arg(css(Tone::ink, 0.08)));
        connect(button, &QPushButton::clicked, this, [this, section] { showSection(section); });
        sectionButtons_.push_back(button);
        column->addWidget(button);
    }
    column->addStretch(1);
    column->addWidget(makeLabel(QStringLiteral("v0.1.0"), TypeRole::segment, Tone::muted, sidebar));
    return sidebar;
}

QPushButton* SettingsWindow::sectionButton(SettingsSection section) const {
    return sectionButtons_.at(static_cast<std::size_t>(section));
}

void SettingsWindow::showSection(SettingsSection section) {
    section_ = section;
    const SectionText text = sectionText(section);
    group_->setText(text.group.toUpper());
    title_->setText(text.label);
    subtitle_->setText(text.subtitle);
    panes_->setCurrentIndex(static_cast<int>(section));
    if (section == SettingsSection::permissions) {
        queryServiceStatus();
    }
    for (const SettingsSection each : kSettingsSections) {
        sectionButton(each)->setChecked(each == section);
    }
}

QWidget* SettingsWindow::buildGeneral() {
    auto* pane = new QWidget(this);
    auto* grid = new QGridLayout(pane);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(18);
    grid->setColumnMinimumWidth(0, 110);
    grid->setColumnStretch(1, 1);

    mode_ = new SegmentedControl({QStringLiteral("Live"), QStringLiteral("Away")}, pane);
    mode_->setFixedWidth(180);
    mode_->onChosen = [this](int index) {
        state_.mode = index == 1 ? AppState::Mode::away : AppState::Mode::live;
    };
    addRow(grid, QStringLiteral("Mode"), mode_, pane);
    forceAway_ = new Switch(pane);
    connect(forceAway_, &Switch::clicked, this, [this](bool on) { state_.manualOverride = on; });
    addRow(grid, QStringLiteral("Force away"), forceAway_, pane);
    autoLoop_ = new Switch(pane);
    connect(autoLoop_, &Switch::clicked, this, [this](bool on) { state_.autoAwayEnabled = on; });
    addRow(grid, QStringLiteral("Auto loop"), autoLoop_, pane);
    threshold_ = new SegmentedControl(labelsOf(kThresholdSeconds, 0), pane);
    threshold_->setFixedWidth(280);
    threshold_->onChosen = [this](int index) {
        state_.autoAwaySeconds = kThresholdSeconds.at(static_cast<std::size_t>(index));
    };
    addRow(grid, QStringLiteral("Threshold"), threshold_, pane);
    addWide(grid, paragraph(QStringLiteral("Loop rolls after your face leaves the frame for the "
                                           "chosen window. Face-detect runs on 1 in 10 webcam "
                                           "frames to stay easy on the CPU."),
                            pane));
    grid->addWidget(makeDivider(pane), grid->rowCount(), 0, 1, 2);

    blip_ = new Switch(pane);
    connect(blip_, &Switch::clicked, this, [this](bool on) { state_.realisticTransitions = on; });
    addRow(grid, QStringLiteral("Wi-Fi blip"), blip_, pane);
    freeze_ = new SegmentedControl(labelsOf(kFreezeSeconds, 1), pane);
    freeze_->setFixedWidth(280);
    freeze_->onChosen = [this](int index) {
        state_.transitionFreezeSeconds = kFreezeSeconds.at(static_cast<std::size_t>(index));
    };
    addRow(grid, QStringLiteral("Freeze"), freeze_, pane);
    auto* blurBox = new QWidget(pane);
    auto* blurRow = new QHBoxLayout(blurBox);
    blurRow->setContentsMargins(0, 0, 0, 0);
    blur_ = new QSlider(Qt::Horizontal, blurBox);
    blur_->setRange(1, 100);
    blur_->setSingleStep(1);
    blur_->setFixedWidth(260);
    blurValue_ = makeLabel(QString(), TypeRole::segment, Tone::inkSoft, blurBox);
    blurValue_->setFixedWidth(28);
    blurRow->addWidget(blur_);
    blurRow->addWidget(blurValue_);
    connect(blur_, &QSlider::valueChanged, this, [this](int value) {
        if (static_cast<int>(state_.transitionBlurRadius.get()) != value) {
            state_.transitionBlurRadius = static_cast<double>(value);
        }
    });
    addRow(grid, QStringLiteral("Blur"), blurBox, pane);
    addWide(grid, paragraph(QStringLiteral("Every live ↔ loop swap freezes the last frame for the "
                                           "chosen window and softens it with Gaussian blur. "
                                           "Reads as a Wi-Fi blip on the other side."),
                            pane));
    addWide(grid, paragraph(actions_.hotKey +
                                QStringLiteral(" toggles Force away from anywhere. Force away "
                                               "overrides Auto loop and the four-sensor detector."),
                            pane));

    if (actions_.startAtLogin && actions_.setStartAtLogin) {
        grid->addWidget(makeDivider(pane), grid->rowCount(), 0, 1, 2);
        startAtLogin_ = new Switch(pane);
        startAtLogin_->setChecked(actions_.startAtLogin());
        connect(startAtLogin_, &Switch::clicked, this, [this](bool on) {
            actions_.setStartAtLogin(on);
            startAtLogin_->setChecked(actions_.startAtLogin());
        });
        addRow(grid, QStringLiteral("Start at login"), startAtLogin_, pane);
    }
    if (actions_.checkForUpdates && actions_.canCheckForUpdates) {
        grid->addWidget(makeDivider(pane), grid->rowCount(), 0, 1, 2);
        updateButton_ = new QPushButton(QStringLiteral("Check for Updates…"), pane);
        connect(updateButton_, &QPushButton::clicked, this, [this] { actions_.checkForUpdates(); });
        addRow(grid, QStringLiteral("Updates"), updateButton_, pane);
        addWide(grid, paragraph(QStringLiteral("Kestrel auto-checks once a day. Manually checking "
                                               "pulls the appcast right now."),
                                pane));
    }
    grid->setRowStretch(grid->rowCount(), 1);
    return pane;
}

void SettingsWindow::refreshGeneral() {
    if (blur_ == nullptr) {
        return;
    }
    const GeneralModel model = generalModel(state_);
    mode_->setSelected(model.modeIndex);
    forceAway_->setChecked(model.forceAway);
    autoLoop_->setChecked(model.autoLoop);
    threshold_->setSelected(model.thresholdIndex);
    threshold_->setEnabled(model.thresholdEnabled);
    blip_->setChecked(model.wifiBlip);
    freeze_->setSelected(model.freezeIndex);
    freeze_->setEnabled(model.transitionTuningEnabled);
    if (blur_->value() != model.blur) {
        const QSignalBlocker quiet(blur_);
        blur_->setValue(model.blur);
    }
    blur_->setEnabled(model.transitionTuningEnabled);
    blurValue_->setText(model.blurText);
    blurValue_->setEnabled(model.transitionTuningEnabled);
}

QWidget* SettingsWindow::buildLoops() {
    auto* pane = new QWidget(this);
    auto* column = new QVBoxLayout(pane);
    column->setContentsMargins(0, 0, 0, 0);
    emptyLoops_ = paragraph(QStringLiteral("Nothing here yet. Record a loop from the tray."), pane);
    column->addWidget(emptyLoops_);
    loopList_ = new QVBoxLayout;
    loopList_->setSpacing(0);
    column->addLayout(loopList_);
    column->addStretch(1);
    return pane;
}

void SettingsWindow::rebuildLoops() {
    if (loopList_ == nullptr) {
        return;
    }
    for (SettingsLoopRow* row : loopRows_) {
        row->hide();
        row->deleteLater();  // a row may be running the callback that got us here
    }
    loopRows_.clear();
    const auto& loops = state_.loops.get();
    emptyLoops_->setVisible(loops.empty());
    auto* parent = emptyLoops_->parentWidget();
    for (const auto& loop : loops) {
        auto* row = new SettingsLoopRow(loop, state_.activeLoop.get() == loop, parent);
        row->onSelect = [this, loop] { state_.activeLoop = loop; };
        row->onRename = [this, loop](const QString& name) {
            (void)library_.renameLoop(loop, name.toStdString(), state_);
        };
        row->onDelete = [this, loop] { askToDelete(loop); };
        loopList_->addWidget(row);
        row->show();  // the layout alone would show it only on the next pass of the event loop
        loopRows_.push_back(row);
    }
}

void SettingsWindow::askToDelete(const std::filesystem::path& loop) {
    pendingDelete_ = loop;
    if (deleteBox_ != nullptr) {
        deleteBox_->deleteLater();
    }
    deleteBox_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("Delete this loop?"),
                                 QStringLiteral("Delete this loop?"), QMessageBox::NoButton, this);
    deleteBox_->setInformativeText(deleteLoopMessage(loop));
    auto* remove = deleteBox_->addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
    deleteBox_->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    // However the box goes away, nothing stays pending; only "Delete" deletes.
    connect(deleteBox_, &QMessageBox::finished, this, [this, box = deleteBox_, remove] {
        // Taken out first: deleting notifies listeners, and the loop must outlive them.
        const auto pending = std::exchange(pendingDelete_, std::nullopt);
        if (box->clickedButton() == remove && pending) {
            LoopLibrary::deleteLoop(*pending, state_);
        }
        if (deleteBox_ == box) {
            deleteBox_ = nullptr;
        }
        box->deleteLater();
    });
    deleteBox_->open();
}

QWidget* SettingsWindow::buildPermissions() {
    auto* pane = new QWidget(this);
    auto* column = new QVBoxLayout(pane);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    staleNotice_ = new QFrame(pane);
    staleNotice_->setObjectName(QStringLiteral("staleNotice"));
    staleNotice_->setStyleSheet(
        QStringLiteral("#staleNotice { background: %1; border-radius: 8px; }")
            .arg(css(Tone::awayRed, 0.08)));
    auto* notice = new QHBoxLayout(staleNotice_);
    notice->addWidget(makeLabel(QStringLiteral("⚠"), TypeRole::body, Tone::awayRed, staleNotice_),
                      0, Qt::AlignTop);
    auto* noticeText = new QVBoxLayout;
    noticeText->addWidget(makeLabel(QStringLiteral("Restart the camera service to finish updating"),
                                    TypeRole::body, Tone::ink, staleNotice_));
    noticeText->addWidget(paragraph(
        QStringLiteral("An older Kestrel camera service (kestrel-camera) is still running and will "
                       "only clear when that process ends. If Kestrel already shows up in your "
                       "meeting app's camera list, the new version is fine — this is "
                       "informational."),
        staleNotice_));
    endStale_ = new QPushButton(QStringLiteral("End old kestrel-camera"), staleNotice_);
    connect(endStale_, &QPushButton::clicked, this, [this] { endStaleCopies(); });
    endStale_->setVisible(static_cast<bool>(actions_.endStaleCopies));
    noticeText->addWidget(endStale_, 0, Qt::AlignLeft);
    notice->addLayout(noticeText, 1);
    hideNotice_ =
        glyphButton(QStringLiteral("✕"), QStringLiteral("Hide this notice"), staleNotice_);
    connect(hideNotice_, &QToolButton::clicked, this, [this] {
        settings_->setBool(kStaleNoticeDismissedKey, true);
        refreshPermissions();
    });
    notice->addWidget(hideNotice_, 0, Qt::AlignTop);
    column->addWidget(staleNotice_);

    auto addPermRow = [&](const QString& label, const QString& note, QWidget* extra) {
        auto* row = new QHBoxLayout;
        auto* text = new QVBoxLayout;
        text->addWidget(makeLabel(label, TypeRole::body, Tone::ink, pane));
        text->addWidget(paragraph(note, pane));
        text->addWidget(extra);
        row->addLayout(text, 1);
        auto* status = badge(pane);
        row->addWidget(status, 0, Qt::AlignTop);
        column->addLayout(row);
        column->addWidget(makeDivider(pane));
        return status;
    };
    // Camera: ask, or open the desktop's settings once refused; the group that grants device
    // access.
    auto* camera = new QWidget(pane);
    auto* cameraColumn = new QVBoxLayout(camera);
    cameraColumn->setContentsMargins(0, 0, 0, 0);
    cameraButton_ = new QPushButton(camera);
    connect(cameraButton_, &QPushButton::clicked, this, [this] {
        if (const auto& access = state_.permissions()) {
            if (access->camera.get() == PermissionStatus::denied) {
                access->openSettings(SettingsPane::camera);
            } else {
                access->requestCamera();
            }
        }
    });
    cameraColumn->addWidget(cameraButton_, 0, Qt::AlignLeft);
    cameraHint_ = paragraph(QStringLiteral("Cameras open only for members of the video group: "
                                           "sudo usermod -aG video $USER, then log in again."),
                            camera);
    cameraColumn->addWidget(cameraHint_);
    cameraBadge_ = addPermRow(QStringLiteral("Camera"),
                              QStringLiteral("Read frames from the real webcam."), camera);

    // The camera service, and the loopback device for apps that only read /dev/video*.
    auto* loopback = new QWidget(pane);
    auto* loopbackColumn = new QVBoxLayout(loopback);
    loopbackColumn->setContentsMargins(0, 0, 0, 0);
    loopbackText_ = makeLabel(QString(), TypeRole::hint, Tone::inkSoft, loopback);
    loopbackText_->setWordWrap(true);
    loopbackText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    loopbackColumn->addWidget(loopbackText_);
    loopbackButton_ = new QPushButton(QStringLiteral("Set Up /dev/video Device…"), loopback);
    connect(loopbackButton_, &QPushButton::clicked, this, [this] {
        loopbackAsked_ = actions_.runPrivileged && actions_.runPrivileged(actions_.loopbackCommand);
        refreshPermissions();
    });
    loopbackColumn->addWidget(loopbackButton_, 0, Qt::AlignLeft);
    loopback->setVisible(!actions_.loopbackCommand.empty());
    serviceDaemon_ = makeLabel(QString(), TypeRole::segment, Tone::inkSoft, pane);
    serviceVisibility_ = makeLabel(QString(), TypeRole::segment, Tone::inkSoft, pane);
    loopbackColumn->insertWidget(0, serviceVisibility_);
    loopbackColumn->insertWidget(0, serviceDaemon_);
    loopback->setVisible(!actions_.loopbackCommand.empty() ||
                         static_cast<bool>(actions_.cameraServiceStatus));
    loopbackText_->setVisible(!actions_.loopbackCommand.empty());
    loopbackButton_->setVisible(!actions_.loopbackCommand.empty());
    serviceDaemon_->setVisible(static_cast<bool>(actions_.cameraServiceStatus));
    serviceVisibility_->setVisible(static_cast<bool>(actions_.cameraServiceStatus));
    serviceBadge_ = addPermRow(
        QStringLiteral("Camera service (kestrel-camera)"),
        QStringLiteral("Surface the Kestrel virtual camera to Zoom / Meet / Teams."), loopback);

    column->addWidget(
        makeLabel(QStringLiteral("Reset virtual camera"), TypeRole::body, Tone::ink, pane));
    column->addWidget(
        paragraph(QStringLiteral("Use if Zoom / Meet / Chrome stops seeing Kestrel."), pane));
    lastReset_ = makeLabel(QString(), TypeRole::segment, Tone::inkSoft, pane);
    column->addWidget(lastReset_);
    resetButton_ = new QPushButton(QStringLiteral("↻  Reset now"), pane);
    connect(resetButton_, &QPushButton::clicked, this, [this] { resetNow(); });
    column->addWidget(resetButton_, 0, Qt::AlignLeft);
    column->addStretch(1);
    return pane;
}

void SettingsWindow::refreshPermissions() {
    if (resetButton_ == nullptr) {
        return;
    }
    const auto& access = state_.permissions();
    const auto dismissed = settings_->value(kStaleNoticeDismissedKey);
    const bool isDismissed =
        dismissed && std::holds_alternative<bool>(*dismissed) && std::get<bool>(*dismissed);
    const PermissionsModel model = permissionsModel(
        state_, access ? access->camera.get() : PermissionStatus::notDetermined, isDismissed);
    staleNotice_->setVisible(model.staleNoticeVisible);
    setBadge(cameraBadge_,
             model.cameraGranted ? QStringLiteral("GRANTED") : QStringLiteral("REQUIRED"),
             model.cameraGranted ? Tone::liveGreen : Tone::muted);
    setBadge(serviceBadge_,
             model.serviceGranted ? QStringLiteral("GRANTED") : QStringLiteral("REQUIRED"),
             model.serviceGranted ? Tone::liveGreen : Tone::muted);
    const CameraAccessLook look =
        cameraAccessLook(access ? access->camera.get() : PermissionStatus::notDetermined);
    cameraButton_->setText(look.button);
    cameraButton_->setVisible(access && !look.button.isEmpty());
    cameraHint_->setVisible(access && access->camera.get() == PermissionStatus::denied);
    const ServiceStatusLines lines = serviceStatusLines(serviceStatus_);
    serviceDaemon_->setText(lines.daemon);
    serviceVisibility_->setText(lines.visibility);
    endStale_->setEnabled(!ending_);
    refreshLoopback();
    lastReset_->setVisible(model.lastResetLine.has_value());
    lastReset_->setText(model.lastResetLine.value_or(QString()));
}

void SettingsWindow::refreshLoopback() {
    if (actions_.loopbackCommand.empty()) {
        return;
    }
    std::error_code ignored;
    const bool present = std::filesystem::exists(actions_.loopbackDevice, ignored);
    QStringList words;
    for (const auto& word : actions_.loopbackCommand) {
        words << QString::fromStdString(word);
    }
    if (!actions_.runPrivileged && !words.isEmpty()) {
        words.front() = QStringLiteral("sudo");
    }
    const QString device = QString::fromStdString(actions_.loopbackDevice.string());
    if (present) {
        loopbackText_->setText(
            QStringLiteral("%1 is set up for apps that only read /dev/video*.").arg(device));
    } else if (loopbackAsked_) {
        loopbackText_->setText(
            QStringLiteral("Asked for your password to run: %1").arg(words.join(QLatin1Char(' '))));
    } else {
        loopbackText_->setText(QStringLiteral("Apps that only read /dev/video* need %1. %2: %3")
                                   .arg(device,
                                        actions_.runPrivileged
                                            ? QStringLiteral("Setting it up runs")
                                            : QStringLiteral("To set it up, run"),
                                        words.join(QLatin1Char(' '))));
    }
    loopbackButton_->setVisible(!present && static_cast<bool>(actions_.runPrivileged));
}

void SettingsWindow::queryServiceStatus() {
    if (!actions_.cameraServiceStatus || serviceAsked_) {
        return;
    }
    serviceAsked_ = true;
    actions_.cameraServiceStatus(
        [this, alive = std::weak_ptr<bool>(alive_)](CameraServiceStatus status) {
            if (auto still = alive.lock(); still && *still) {
                serviceAsked_ = false;
                serviceStatus_ = status;
                refreshPermissions();
            }
        });
}

void SettingsWindow::endStaleCopies() {
    if (!actions_.endStaleCopies || ending_) {
        return;
    }
    ending_ = true;
    refreshPermissions();
    actions_.endStaleCopies([this, alive = std::weak_ptr<bool>(alive_)](int) {
        if (auto still = alive.lock(); still && *still) {
            ending_ = false;
            refreshPermissions();
            queryServiceStatus();
        }
    });
}

void SettingsWindow::resetNow() {
    setPulsing(true);
    if (actions_.resetVirtualCamera) {
        actions_.resetVirtualCamera();
    }
    main_.postAfter(std::chrono::duration_cast<Nanos>(1s),
                    [this, alive = std::weak_ptr<bool>(alive_)] {
                        if (auto still = alive.lock(); still && *still) {
                            setPulsing(false);
                        }
                    });
}

void SettingsWindow::setPulsing(bool pulsing) {
    resetPulsing_ = pulsing;
    if (!pulsing) {
        pulseTimer_ = Handle();
        resetButton_->setText(QStringLiteral("↻  Reset now"));
        return;
    }
    if (!pulseTimer_) {
        pulseFrame_ = 0;
        pulseTimer_ = main_.startTimer(std::chrono::duration_cast<Nanos>(kPulseFrame), [this] {
            pulseFrame_ = (pulseFrame_ + 1) % static_cast<int>(kPulseGlyphs.size());
            resetButton_->setText(
                QString::fromUtf16(kPulseGlyphs.at(static_cast<std::size_t>(pulseFrame_))) +
                QStringLiteral("  Reset now"));
        });
    }
}

}  // namespace kestrel::ui
