#include "app/ui/OnboardingWindow.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/ui/Widgets.h"

namespace kestrel::ui {
namespace {

QLabel* text(const QString& line, QWidget* parent) {
    auto* label = makeLabel(line, TypeRole::italicLine, Tone::inkSoft, parent);
    label->setWordWrap(true);
    return label;
}

QLabel* heading(const QString& line, int pixels, QWidget* parent) {
    auto* label = makeLabel(line, TypeRole::title, Tone::ink, parent);
    label->setFont(resized(label->font(), pixels));
    return label;
}

// Kicker, title and text: the top of every page.
QVBoxLayout* page(QWidget* widget, const QString& kicker, const QString& title,
                  const QString& body) {
    auto* column = new QVBoxLayout(widget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    if (!kicker.isEmpty()) {
        column->addWidget(makeCaption(kicker.toUpper(), widget));
    }
    column->addWidget(heading(title, 30, widget));
    if (!body.isEmpty()) {
        column->addWidget(text(body, widget));
    }
    return column;
}

// Numbered lines: a number, a line and an optional note under it.
void addNumbered(QVBoxLayout* column, QWidget* parent,
                 std::initializer_list<std::array<const char*, 3>> items) {
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(14);
    grid->setColumnStretch(1, 1);
    for (const auto& [number, line, note] : items) {
        const int row = grid->rowCount();
        grid->addWidget(
            makeLabel(QString::fromUtf8(number), TypeRole::segment, Tone::muted, parent), row, 0,
            Qt::AlignTop);
        auto* lines = new QVBoxLayout;
        lines->addWidget(makeLabel(QString::fromUtf8(line), TypeRole::body, Tone::ink, parent));
        if (note != nullptr) {
            auto* hint = makeLabel(QString::fromUtf8(note), TypeRole::hint, Tone::inkSoft, parent);
            hint->setWordWrap(true);
            lines->addWidget(hint);
        }
        grid->addLayout(lines, row, 1);
    }
    column->addLayout(grid);
}

}  // namespace

CameraAccessLook cameraAccessLook(PermissionStatus status) {
    switch (status) {
        case PermissionStatus::notDetermined:
            return {QStringLiteral("Not requested yet"), QStringLiteral("Request")};
        case PermissionStatus::denied:
            return {QStringLiteral("Denied — enable in System Settings"),
                    QStringLiteral("Open System Settings")};
        case PermissionStatus::granted:
            break;
    }
    return {QStringLiteral("✓ Granted"), QString()};
}

OnboardingWindow::OnboardingWindow(AppState& state, std::shared_ptr<Permissions> permissions,
                                   std::function<void()> activateExtension, QWidget* parent)
    : QWidget(parent),
      state_(state),
      permissions_(std::move(permissions)),
      activateExtension_(std::move(activateExtension)) {
    setWindowTitle(QString::fromUtf8(kTitle));
    setAutoFillBackground(true);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 26, 32, 22);
    column->setSpacing(18);

    auto* header = new QHBoxLayout;
    auto* icon = makeLabel(QStringLiteral("◎"), TypeRole::body, Tone::ink, this);
    header->addWidget(icon);
    header->addWidget(
        makeLabel(QStringLiteral("KESTREL · SETUP"), TypeRole::headerCaption, Tone::muted, this));
    header->addStretch(1);
    for (std::size_t i = 0; i < kOnboardingSteps.size(); ++i) {
        auto* dot = new QLabel(this);
        dot->setFixedSize(6, 6);
        dots_.push_back(dot);
        header->addWidget(dot);
    }
    header->setSpacing(6);
    column->addLayout(header);

    pages_ = new QStackedWidget(this);
    pages_->addWidget(buildWelcome());
    pages_->addWidget(buildCamera());
    pages_->addWidget(buildExt());
    pages_->addWidget(buildDone());
    column->addWidget(pages_, 1);

    auto* footer = new QHBoxLayout;
    back_ = new QPushButton(QStringLiteral("Back"), this);
    connect(back_, &QPushButton::clicked, this, [this] { back(); });
    footer->addWidget(back_);
    footer->addStretch(1);
    primary_ = new QPushButton(this);
    primary_->setDefault(true);
    primary_->setMinimumWidth(130);  // fits "Open Kestrel" without waiting for a relayout
    primary_->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: %2; border: none; border-radius: 6px;"
                       " padding: 7px 16px; }")
            .arg(css(Tone::ink), css(Tone::paper)));
    connect(primary_, &QPushButton::clicked, this, [this] {
        if (step_ == OnboardingStep::done) {
            finish();
        } else {
            next();
        }
    });
    footer->addWidget(primary_);
    column->addLayout(footer);

    if (permissions_) {
        observers_.push_back(
            permissions_->camera.subscribe([this](PermissionStatus) { refreshCamera(); }));
    }
    observers_.push_back(state_.extensionInstalled.subscribe([this](bool) { refreshExt(); }));
    showStep(OnboardingStep::welcome);
    resize(560, 560);
}

OnboardingWindow::~OnboardingWindow() {
    *alive_ = false;
}

int OnboardingWindow::litDots() const {
    return static_cast<int>(step_) + 1;
}

void OnboardingWindow::next() {
    if (step_ != OnboardingStep::done) {
        showStep(static_cast<OnboardingStep>(static_cast<int>(step_) + 1));
    }
}

void OnboardingWindow::back() {
    if (step_ != OnboardingStep::welcome) {
        showStep(static_cast<OnboardingStep>(static_cast<int>(step_) - 1));
    }
}

void OnboardingWindow::finish() {
    state_.hasSeenOnboarding = true;
    // The first window with the wizard's title, which is this one where nothing else took it.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->windowTitle() == QString::fromUtf8(kTitle)) {
            window->close();
            break;
        }
    }
}

void OnboardingWindow::showStep(OnboardingStep step) {
    step_ = step;
    pages_->setCurrentIndex(static_cast<int>(step));
    for (std::size_t i = 0; i < dots_.size(); ++i) {
        const bool lit = static_cast<int>(i) < litDots();
        dots_[i]->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;")
                                    .arg(lit ? css(Tone::liveGreen) : css(Tone::ink, 0.15)));
    }
    back_->setVisible(step != OnboardingStep::welcome);
    primary_->setText(step == OnboardingStep::done ? QStringLiteral("Open Kestrel")
                                                   : QStringLiteral("Next  →"));
    if (step == OnboardingStep::camera && permissions_) {
        permissions_->refresh();  // access granted in the desktop's settings shows up here
    }
}

QWidget* OnboardingWindow::buildWelcome() {
    auto* widget = new QWidget(this);
    auto* column =
        page(widget, QStringLiteral("Welcome"), QStringLiteral("Show up.\nWhen you’re not there."),
             QStringLiteral("Kestrel records a 60-second loop of you ‘paying "
                            "attention’, then plays it as a virtual camera in Zoom, "
                            "Meet, and Teams while you walk away."));
    column->addSpacing(6);
    column->addWidget(makeCaption(QStringLiteral("Three quick steps"), widget));
    addNumbered(column, widget,
                {{"01", "Camera — to record your loop", nullptr},
                 {"02", "Camera service — surfaces the virtual camera", nullptr},
                 {"03", "Done — open the tray", nullptr}});
    column->addStretch(1);
    return widget;
}

QWidget* OnboardingWindow::buildCamera() {
    auto* widget = new QWidget(this);
    auto* column =
        page(widget, QStringLiteral("Step 1 / 2 · Camera"), QStringLiteral("Read the webcam."),
             QStringLiteral("Kestrel reads frames from your real camera so it can detect when "
                            "your face is missing and decide whether to swap to the loop. Frames "
                            "never leave your computer."));
    auto* row = new QHBoxLayout;
    cameraStatus_ = makeLabel(QString(), TypeRole::body, Tone::ink, widget);
    row->addWidget(cameraStatus_, 1);
    cameraButton_ = new QPushButton(widget);
    connect(cameraButton_, &QPushButton::clicked, this, [this] {
        if (!permissions_) {
            return;
        }
        if (permissions_->camera.get() == PermissionStatus::denied) {
            permissions_->openSettings(SettingsPane::camera);
        } else {
            permissions_->requestCamera();  // the page follows the status when it changes
        }
    });
    row->addWidget(cameraButton_);
    column->addSpacing(8);
    column->addLayout(row);
    column->addWidget(
        text(QStringLiteral("Without access, check that you are in the video group (groups "
                            "lists it); if not, run sudo usermod -aG video $USER and log in "
                            "again."),
             widget));
    column->addStretch(1);
    return widget;
}

void OnboardingWindow::refreshCamera() {
    const CameraAccessLook look = cameraAccessLook(permissions_ ? permissions_->camera.get()
                                                                : PermissionStatus::notDetermined);
    cameraStatus_->setText(look.status);
    cameraButton_->setText(look.button);
    cameraButton_->setVisible(!look.button.isEmpty());
}

QWidget* OnboardingWindow::buildExt() {
    auto* widget = new QWidget(this);
    auto* column = page(
        widget, QStringLiteral("Step 2 / 2 · Camera service"),
        QStringLiteral("Surface the virtual camera."),
        QStringLiteral("Kestrel ships a camera service, kestrel-camera, that exposes the virtual "
                       "camera Zoom / Meet / Teams pick up: a PipeWire camera, and for apps that "
                       "only read /dev/video* an optional v4l2loopback device. Approve it once "
                       "and you're done forever."));
    approved_ = new QWidget(widget);
    auto* approvedColumn = new QVBoxLayout(approved_);
    approvedColumn->setContentsMargins(0, 8, 0, 0);
    approvedColumn->addWidget(makeLabel(QStringLiteral("Kestrel Camera approved"), TypeRole::body,
                                        Tone::liveGreen, approved_));
    approvedColumn->addWidget(
        text(QStringLiteral("Zoom, Meet, and Teams will see Kestrel in the camera dropdown."),
             approved_));
    column->addWidget(approved_);

    instructions_ = new QWidget(widget);
    auto* steps = new QVBoxLayout(instructions_);
    steps->setContentsMargins(0, 8, 0, 0);
    addNumbered(
        steps, instructions_,
        {{"1", "Click Approve below.", "Kestrel starts its camera service, kestrel-camera."},
         {"2", "For apps that only list /dev/video* cameras, add the loopback device.",
          "Run kestrel --setup-loopback: it shows the exact modprobe line and asks for "
          "your password through pkexec."},
         {"3", "Reopen your meeting app.",
          "The camera appears in Zoom / Meet / Teams the next time you open them."}});
    auto* buttons = new QHBoxLayout;
    approve_ = new QPushButton(QStringLiteral("✓  Approve"), instructions_);
    QFont bold = approve_->font();
    bold.setWeight(QFont::DemiBold);
    approve_->setFont(bold);
    connect(approve_, &QPushButton::clicked, this, [this] {
        if (activateExtension_) {
            activateExtension_();
        }
        if (permissions_) {
            permissions_->openSettings(SettingsPane::extensionApproval);
        }
    });
    buttons->addWidget(approve_);
    auto* openSettings = new QPushButton(QStringLiteral("Open System Settings"), instructions_);
    openSettings->setFlat(true);
    connect(openSettings, &QPushButton::clicked, this, [this] {
        if (permissions_) {
            permissions_->openSettings(SettingsPane::extensionApproval);
        }
    });
    buttons->addWidget(openSettings);
    buttons->addStretch(1);
    steps->addLayout(buttons);
    column->addWidget(instructions_);
    column->addStretch(1);
    return widget;
}

void OnboardingWindow::refreshExt() {
    const bool installed = state_.extensionInstalled.get();
    approved_->setVisible(installed);
    instructions_->setVisible(!installed);
}

QWidget* OnboardingWindow::buildDone() {
    auto* widget = new QWidget(this);
    auto* column =
        page(widget, QString(), QStringLiteral("You’re all set."),
             QStringLiteral("Kestrel lives in your tray. Hit Record to capture your first "
                            "60-second loop, then pick ‘Kestrel’ in Zoom / Meet / Teams as your "
                            "camera."));
    column->addStretch(1);
    return widget;
}

}  // namespace kestrel::ui
