#include "app/ui/Widgets.h"

#include <QFrame>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <utility>

namespace kestrel::ui {

QLabel* makeLabel(const QString& text, TypeRole role, Tone tone, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(roleFont(role));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color(tone));
    label->setPalette(palette);
    return label;
}

QLabel* makeCaption(const QString& text, QWidget* parent) {
    return makeLabel(text, TypeRole::caption, Tone::muted, parent);
}

QFont resized(QFont font, int pixels) {
    if (font.pixelSize() > 0) {
        font.setPixelSize(pixels);
    } else {
        font.setPointSizeF(pixels * 0.75);
    }
    return font;
}

QWidget* makeDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, color(Tone::ink, 0.12));
    line->setPalette(palette);
    return line;
}

StatusDot::StatusDot(int diameter, QWidget* parent) : QWidget(parent) {
    setFixedSize(diameter, diameter);
}

void StatusDot::setTone(Tone tone) {
    if (tone != tone_) {
        tone_ = tone;
        update();
    }
}

void StatusDot::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color(tone_));
    painter.drawEllipse(rect());
}

namespace {
constexpr int kSegmentHeight = 26;
constexpr int kSegmentPadding = 14;
}  // namespace

SegmentedControl::SegmentedControl(QStringList labels, QWidget* parent)
    : QWidget(parent), labels_(std::move(labels)) {
    setFont(roleFont(TypeRole::segment));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void SegmentedControl::setSelected(int index) {
    if (index != selected_) {
        selected_ = index;
        update();
    }
}

QSize SegmentedControl::sizeHint() const {
    int width = 0;
    for (const auto& label : labels_) {
        width += fontMetrics().horizontalAdvance(label) + 2 * kSegmentPadding;
    }
    return {width, kSegmentHeight};
}

QRect SegmentedControl::segmentRect(int index) const {
    const int count = static_cast<int>(labels_.size());
    const int left = width() * index / count;
    const int right = width() * (index + 1) / count;
    return {left, 0, right - left, height()};
}

void SegmentedControl::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF outline = QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25);
    QPainterPath clip;
    clip.addRoundedRect(outline, 6, 6);
    painter.setClipPath(clip);
    for (int i = 0; i < labels_.size(); ++i) {
        const QRect r = segmentRect(i);
        const bool chosen = i == selected_;
        if (chosen) {
            painter.fillRect(r, color(Tone::ink));
        }
        painter.setPen(color(chosen ? Tone::paper : Tone::inkSoft));
        painter.drawText(r, Qt::AlignCenter, labels_[i]);
    }
    painter.setClipping(false);
    painter.setPen(QPen(color(Tone::ink, 0.2), 0.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(outline, 6, 6);
}

void SegmentedControl::mouseReleaseEvent(QMouseEvent* event) {
    for (int i = 0; i < labels_.size(); ++i) {
        if (segmentRect(i).contains(event->position().toPoint())) {
            if (i != selected_ && onChosen) {
                onChosen(i);
            }
            return;
        }
    }
}

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

QSize Switch::sizeHint() const {
    return {34, 20};
}

void Switch::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(0, 0, 34, 20).translated(0, (height() - 20) / 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? color(Tone::liveGreen) : color(Tone::ink, 0.15));
    painter.drawRoundedRect(track, 10, 10);
    const double knobX = isChecked() ? track.right() - 18 : track.left() + 2;
    painter.setBrush(color(Tone::paper));
    painter.drawEllipse(QRectF(knobX, track.top() + 2, 16, 16));
}

RecordButton::RecordButton(QWidget* parent) : QAbstractButton(parent) {
    setFont(roleFont(TypeRole::button));
    setCursor(Qt::PointingHandCursor);
}

void RecordButton::setLook(Tone fill, Tone dot, const QString& label, const QString& progress) {
    fill_ = fill;
    dot_ = dot;
    progress_ = progress;
    setText(label);
    update();
}

QSize RecordButton::sizeHint() const {
    const int labelWidth =
        fontMetrics().horizontalAdvance(QStringLiteral("Stop · saving…  60 / 60 s"));
    return {labelWidth + 44, 32};
}

void RecordButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color(fill_));
    painter.drawRoundedRect(QRectF(rect()), 5, 5);
    const double dotY = (height() - 8) / 2.0;
    painter.setBrush(color(dot_));
    painter.drawEllipse(QRectF(14, dotY, 8, 8));
    painter.setPen(color(Tone::paper));
    const QRect textArea = rect().adjusted(30, 0, -12, 0);
    painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignLeft, text());
    if (!progress_.isEmpty()) {
        painter.setPen(color(Tone::paper, 0.8));
        painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignRight, progress_);
    }
}

}  // namespace kestrel::ui
