#include "app/ui/LivePreview.h"

#include <QPainter>
#include <QPainterPath>

#include <libyuv/scale_argb.h>

#include "app/ui/PreviewTap.h"
#include "app/ui/Theme.h"

namespace kestrel::ui {

LivePreview::LivePreview(PreviewTap& tap, Executor& main, int width, QWidget* parent)
    : QWidget(parent), tap_(tap), main_(main) {
    // The camera's 16:9.
    setFixedSize(width, width * 9 / 16);
    image_ = QImage(width, width * 9 / 16, QImage::Format_RGB32);
    image_.fill(color(Tone::ink));
}

void LivePreview::refresh() {
    const PixelBufferRef frame = tap_.takeLatest();
    if (!frame) {
        return;
    }
    // BGRA in memory is Qt's 32-bit ARGB on a little-endian machine.
    libyuv::ARGBScale(frame->data(), frame->stride(), frame->width(), frame->height(),
                      image_.bits(), static_cast<int>(image_.bytesPerLine()), image_.width(),
                      image_.height(), libyuv::kFilterBox);
    update();
}

void LivePreview::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    tap_.setWatching(true);
    timer_ = main_.startTimer(
        kInterval, [this] { refresh(); }, std::chrono::milliseconds(20));
}

void LivePreview::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.reset();
    tap_.setWatching(false);
}

void LivePreview::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), 6, 6);
    painter.setClipPath(clip);
    painter.drawImage(rect(), image_);
}

}  // namespace kestrel::ui
